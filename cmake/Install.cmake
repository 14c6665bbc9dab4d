# What `cmake --install` lays out for an integrator: the worker, its service
# (Windows), the reference client and the tools, with the READMEs (and the pictures the README shows)
# and the licences of the third-party code inside the executables. Targets are
# named one by one: test programs (the secure-desktop test worker, fakes, test
# DLLs) are never installed. scripts/package zips the Windows layout.
if(WIN32)
  # One flat folder, as unpacked from the archive: the executables need
  # nothing beside them.
  set(HALVORINE_INSTALL_BIN_DIR .)
  set(HALVORINE_INSTALL_DOC_DIR .)
else()
  include(GNUInstallDirs)
  set(HALVORINE_INSTALL_BIN_DIR "${CMAKE_INSTALL_BINDIR}")
  set(HALVORINE_INSTALL_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/halvorine")
endif()

install(TARGETS halvorine-worker halvorine-client halvorine-encode halvorine-capture
        RUNTIME DESTINATION "${HALVORINE_INSTALL_BIN_DIR}")
if(WIN32)
  # Starts the worker from its own folder: the two stay side by side.
  install(TARGETS halvorine-service RUNTIME DESTINATION "${HALVORINE_INSTALL_BIN_DIR}")
endif()
install(FILES README.md THIRD-PARTY.txt DESTINATION "${HALVORINE_INSTALL_DOC_DIR}")
install(FILES tools/halvorine-client/README.md DESTINATION "${HALVORINE_INSTALL_DOC_DIR}"
        RENAME README-halvorine-client.md)
install(FILES docs/demo-secure-desktop.jpg docs/demo-view.jpg
        DESTINATION "${HALVORINE_INSTALL_DOC_DIR}/docs")
