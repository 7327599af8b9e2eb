include_guard(GLOBAL)
include(GNUInstallDirs)

# The installed layout: the program in bin/, its two libraries in lib/orvelin/ (where
# platform/paths.cpp looks for them beside <prefix>/bin/orvelin), the systemd unit, the
# desktop entry and icon, the man page and the access file's example. The program and
# the unit agree on the prefix given at install time (cmake --install --prefix included).
set(ORVELIN_LIBRARY_SUBDIR lib/orvelin)
set(ORVELIN_UNIT_SUBDIR lib/systemd/system)
set(dist ${PROJECT_SOURCE_DIR}/dist)
set(staged ${PROJECT_BINARY_DIR}/dist)
file(MAKE_DIRECTORY ${staged})

install(TARGETS orvelin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tessaly sundrel LIBRARY DESTINATION ${ORVELIN_LIBRARY_SUBDIR} NAMELINK_SKIP)

install(CODE "
  set(ORVELIN_INSTALLED_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/orvelin\")
  set(ORVELIN_UNIT_DIR \"\${CMAKE_INSTALL_PREFIX}/${ORVELIN_UNIT_SUBDIR}\")
  set(ORVELIN_LIBRARY_DIR \"\${CMAKE_INSTALL_PREFIX}/${ORVELIN_LIBRARY_SUBDIR}\")
  set(ORVELIN_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${dist}/orvelin.service.in\" \"${staged}/orvelin.service\" @ONLY)
  configure_file(\"${dist}/orvelin.1\" \"${staged}/orvelin.1\" @ONLY)
  file(COPY_FILE \"${dist}/changelog\" \"${staged}/changelog\")
  foreach(page orvelin.1 changelog)
    execute_process(COMMAND gzip -9nf \"${staged}/\${page}\" RESULT_VARIABLE gz)
    if(NOT gz EQUAL 0)
      message(FATAL_ERROR \"cannot compress \${page}\")
    endif()
  endforeach()
")
install(FILES ${staged}/orvelin.service DESTINATION ${ORVELIN_UNIT_SUBDIR})
install(FILES ${staged}/orvelin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${dist}/orvelin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${dist}/orvelin.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# /etc/orvelin/ is where the program looks; an install under another prefix keeps the
# example in <prefix>/etc/orvelin/, to be copied there. Decided at install time, so a
# prefix given to cmake --install counts.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(sysconf /etc/orvelin)
  else()
    set(sysconf \"\${CMAKE_INSTALL_PREFIX}/etc/orvelin\")
  endif()
  file(INSTALL DESTINATION \"\${sysconf}\" TYPE FILE FILES \"${dist}/orvelin.ini\")
")
install(FILES ${dist}/copyright ${staged}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package from the same rules (scripts/package configures the /usr prefix).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvelin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvelin developers <maintainers@orvelin.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ISDN line watcher and answering machine")
set(CPACK_PACKAGE_DESCRIPTION
    "Orvelin watches the ISDN lines of a CAPI 2.0 adapter and acts on every\n\
incoming call: it names the caller, logs and lists the call, rejects it or\n\
answers it as an answering machine or a fax, announces it by speech, runs\n\
programs, sends text messages and hands every call record to network peers.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The two libraries are the program's own, loaded by path: no shlibs entry for them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# Loaded at run time rather than linked, so shlibs cannot see them: the sound file
# reader of the sound library and the desktop's window-system plugin.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsndfile1, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The access file is the administrator's once edited (the package's prefix is /usr).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${dist}/conffiles)
include(CPack)
