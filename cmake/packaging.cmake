# Packages of the installation, made by `make package`: on Linux the Debian packages news-editor
# (the editor and its manual page) and libnewsdb-dev (the library, its headers and package files),
# elsewhere one archive of both. The Debian dependencies are read from the editor's program by
# dpkg-shlibdeps (Debian: dpkg-dev, file), so they name the libedit and C++ runtimes it was built
# against.
set(NEWS_PACKAGE_MAINTAINER "News editor maintainers <news-editor@example.org>"
    CACHE STRING "Who answers for the packages: their Maintainer line")

set(CPACK_PACKAGE_NAME news-editor)
set(CPACK_PACKAGE_CONTACT "${NEWS_PACKAGE_MAINTAINER}")
set(CPACK_OUTPUT_FILE_PREFIX packages)
set(CPACK_STRIP_FILES ON)  # programs only; the static library keeps its symbols
set(CPACK_VERBATIM_VARIABLES ON)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR ZIP)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # news-editor_1.0-1_amd64.deb
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
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "news database library for C++17 programs (static library and headers)
The library beneath news-editor: news messages, news databases and the record
text they are stored in, loaded and saved crash-safely under a lock. It comes
with the CMake package NewsDB (target NewsDB::newsdb) and the pkg-config file
newsdb.pc.")

include(CPack)
