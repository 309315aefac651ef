# Read by CPack once per package. The Debian package takes the program that links
# the C library dynamically, and its changelog; the tarball takes everything
# installed by default: the static program and the licence.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build_dir)
  set(CPACK_INSTALL_CMAKE_PROJECTS ${build_dir} larkbook debian / ${build_dir} larkbook Unspecified /)
endif()
