# Read by cpack before it packages: refuses packages without their man pages or icons.
if(CPACK_VELARTO_MISSING)
  list(JOIN CPACK_VELARTO_MISSING ", " missing)
  message(FATAL_ERROR "cannot package: the build had no ${missing}; install it, "
                      "configure and build again")
endif()
