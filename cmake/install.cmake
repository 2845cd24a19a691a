# Installing Morvane and packaging it for Debian.
#
#   cmake --install build --prefix P   programs in P/bin, the Python module in
#                                      P/lib/python3/dist-packages, man pages,
#                                      docs and samples, desktop entry and icon
#   cd build && cpack -G DEB           morvane_<version>_amd64.deb, for /usr
#
# Included at the end of the top CMakeLists.txt; refers to the programs only by
# their target names and installs whichever of them this build made.

include(GNUInstallDirs)

set(MORVANE_PROGRAMS morvane morvane-cli morvane-mpi morvane-report)

# Debian's python3 looks in /usr/lib/python3/dist-packages (for any 3.x); under
# another prefix the same folder has to be put on PYTHONPATH.
set(MORVANE_INSTALL_PYTHONDIR "lib/python3/dist-packages" CACHE STRING
    "Where the Python module goes, relative to the install prefix")

# --- the programs and the module -------------------------------------------

foreach(program IN LISTS MORVANE_PROGRAMS)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(TARGET morvane_python)
  install(TARGETS morvane_python LIBRARY DESTINATION ${MORVANE_INSTALL_PYTHONDIR})
endif()

# --- man pages, made at build time from --help and --version ----------------

find_program(HELP2MAN_EXECUTABLE help2man)
find_program(GZIP_EXECUTABLE gzip)
if(NOT HELP2MAN_EXECUTABLE)
  message(STATUS "help2man not found: the man pages are not made (apt-get install help2man)")
else()
  set(man_dir ${PROJECT_BINARY_DIR}/man)
  # One line each, for the NAME section.
  set(man_name_morvane "desktop dialog that fits two-lobed asteroid shapes to a lightcurve")
  set(man_name_morvane-cli "fit two-lobed asteroid shapes to a lightcurve from the command line")
  set(man_name_morvane-mpi "morvane-cli's fit with the shape grid shared among MPI ranks")
  set(man_name_morvane-report "figures and an HTML page of a finished Morvane run")
  # Qt programs draw nothing for --help but may still want a platform;
  # morvane-mpi starts MPI as a singleton, which OpenMPI refuses to root
  # unless told; instrumented builds' leak reports are not help text.
  set(man_env QT_QPA_PLATFORM=offscreen OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
              ASAN_OPTIONS=detect_leaks=0)
  set(man_pages)
  foreach(program IN LISTS MORVANE_PROGRAMS)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${man_dir}/${program}.1)
    set(commands
      COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
      COMMAND ${CMAKE_COMMAND} -E env ${man_env}
              ${HELP2MAN_EXECUTABLE} --no-info --no-discard-stderr
              --name=${man_name_${program}} --section=1 --output=${page} $<TARGET_FILE:${program}>)
    if(GZIP_EXECUTABLE)
      # As Debian ships them: gzip -9n (no name, no time stamp).
      list(APPEND commands COMMAND ${GZIP_EXECUTABLE} -9nf ${page})
      set(page ${page}.gz)
    endif()
    add_custom_command(OUTPUT ${page} ${commands}
                       DEPENDS ${program}
                       COMMENT "Writing the man page of ${program} with help2man"
                       VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(morvane_man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- documentation, samples, desktop entry, icon ----------------------------

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs data examples DESTINATION ${CMAKE_INSTALL_DOCDIR} PATTERN __pycache__ EXCLUDE)

if(TARGET morvane)
  install(FILES packaging/morvane.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES packaging/morvane.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
endif()

# --- the Debian package -----------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvane)
set(CPACK_PACKAGE_VENDOR "Morvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fit two-lobed asteroid shapes to lightcurves")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(MORVANE_DEB_MAINTAINER "Morvane maintainers <maintainers@users.noreply.c-seed-e122faf5.example>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MORVANE_DEB_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # morvane_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# (The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the rest.)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Morvane builds thousands of candidate contact-binary shapes (two joined,
axis-scaled geodesic spheres), computes the lightcurve each would show under
the real observing geometry (faceted Lommel-Seeliger plus Lambert scattering
with mutual shadowing and hiding) and fits each to an observed lightcurve.

This package holds the Qt dialog morvane, the command line morvane-cli, the
MPI program morvane-mpi, the report generator morvane-report and the Python
module morvane. Licence: GPL-3.0-or-later.")

# The libraries come from dpkg-shlibdeps; what the programs run or import is
# named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(deb_depends)
if(TARGET morvane_python)
  # The module is built for this one Python (its ABI tag is in its file name).
  math(EXPR python_next "${Python3_VERSION_MINOR} + 1")
  list(APPEND deb_depends
       "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~)"
       "python3 (<< ${Python3_VERSION_MAJOR}.${python_next})"
       python3-numpy)
endif()
if(TARGET morvane-mpi)
  list(APPEND deb_depends openmpi-bin)
endif()
list(JOIN deb_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

# A source tarball (cpack --config CPackSourceConfig.cmake) leaves out builds and git.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/\\\\.git$" "/build[^/]*/" "__pycache__")

include(CPack)
