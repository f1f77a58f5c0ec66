# Writes the service worker from TEMPLATE to OUTPUT with @VERSION@ set to a digest of FILES.
set(contents "")
foreach(file IN LISTS FILES)
  file(SHA256 ${file} digest)
  string(APPEND contents ${digest})
endforeach()
string(SHA256 version "${contents}")
string(SUBSTRING ${version} 0 16 VERSION)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
