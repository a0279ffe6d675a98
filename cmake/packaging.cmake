# Packages of the installation, made by `make package`: on Linux the Debian packages news-editor
# (the editor and its manual page) and libnewsdb-dev (the library, its headers and package files),
# elsewhere one archive of both; a shared build adds libnewsdb2, the shared library itself. The Debian dependencies are read from the editor's program by
# dpkg-shlibdeps (Debian: dpkg-dev, file), so they name the libedit and C++ runtimes it was built
# against.
set(NEWS_PACKAGE_MAINTAINER "News editor maintainers <news-editor@example.org>"
    CACHE STRING "Who answers for the packages: their Maintainer line")

set(CPACK_PACKAGE_NAME news-editor)
set(CPACK_PACKAGE_CONTACT "${NEWS_PACKAGE_MAINTAINER}")
set(CPACK_OUTPUT_FILE_PREFIX packages)
set(CPACK_STRIP_FILES ON)  # programs only; the static library keeps its symbols
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

# Each Debian package has the licence as /usr/share/doc/PACKAGE/copyright, in Debian's
# machine-readable form: the text of LICENSE after its copyright line, each line indented by one
# space and each empty line written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE NEWS_EXPAT_TEXT)
string(REGEX REPLACE "^[^\n]*\n\n" "" NEWS_EXPAT_TEXT "${NEWS_EXPAT_TEXT}")
string(STRIP "${NEWS_EXPAT_TEXT}" NEWS_EXPAT_TEXT)
string(REPLACE "\n\n" "\n.\n" NEWS_EXPAT_TEXT "${NEWS_EXPAT_TEXT}")
string(REPLACE "\n" "\n " NEWS_EXPAT_TEXT " ${NEWS_EXPAT_TEXT}")
configure_file(cmake/copyright.in copyright @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${PROJECT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/news-editor COMPONENT editor)
install(FILES ${PROJECT_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libnewsdb-dev COMPONENT dev)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR ZIP)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # news-editor_2.0.0-1_amd64.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
# Each description's first line is the package's short description.
set(CPACK_DEBIAN_EDITOR_PACKAGE_NAME news-editor)
set(CPACK_DEBIAN_EDITOR_PACKAGE_SECTION editors)
set(CPACK_DEBIAN_EDITOR_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_EDITOR_DESCRIPTION
    "console editor for news database files
news-editor lists, adds and deletes the messages of a news database: one file
holding numbered messages with a title, a text, the date and time they were
written, and read and visible flags. Every change is saved at once and
crash-safely, and several editors may work on one file.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnewsdb-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# What a program built against the library needs: the C++ standard library's headers and library
# from the compiler the library was built with (its threads come with the C library's headers).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  string(REGEX MATCH "^[0-9]+" NEWS_GCC_MAJOR ${CMAKE_CXX_COMPILER_VERSION})
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstdc++-${NEWS_GCC_MAJOR}-dev | libstdc++-dev")
else()
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstdc++-dev")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "pkgconf | pkg-config")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "news database library for C++17 programs (static library and headers)
The library beneath news-editor: news messages, news databases and the record
text they are stored in, loaded and saved crash-safely under a lock. It comes
with the CMake package NewsDB (target NewsDB::newsdb) and the pkg-config file
newsdb.pc.")

# A shared library goes into a package of its own, named after its SONAME, which the editor and
# libnewsdb-dev depend on.
if(BUILD_SHARED_LIBS)
  set(NEWS_LIB_PACKAGE libnewsdb${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${NEWS_LIB_PACKAGE})
  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_LIB_DESCRIPTION
      "news database library for C++17 programs (shared library)
The library beneath news-editor: news messages, news databases and the record
text they are stored in, loaded and saved crash-safely under a lock.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
  set(CPACK_COMPONENT_EDITOR_DEPENDS lib)
  set(CPACK_COMPONENT_DEV_DEPENDS lib)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  install(FILES ${PROJECT_BINARY_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${NEWS_LIB_PACKAGE} COMPONENT lib)
endif()

include(CPack)
