# Writes the service worker from TEMPLATE to OUTPUT with @FILES@ set to the names of FILES as a
# JavaScript list and @VERSION@ to a digest of their contents.
set(contents "")
set(names "")
foreach(file IN LISTS FILES)
  file(SHA256 ${file} digest)
  string(APPEND contents ${digest})
  cmake_path(GET file FILENAME name)
  string(APPEND names ", '${name}'")
endforeach()
string(SHA256 version "${contents}")
string(SUBSTRING ${version} 0 16 VERSION)
set(FILES "['./'${names}]")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
