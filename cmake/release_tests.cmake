# The release layer's tests: one version everywhere, the reference without warnings, the
# host guide's code, and the Debian packages installed and used by a host.
add_test(NAME Release.VersionsAgree
  COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/version_test.sh ${PROJECT_VERSION}
          ${PROJECT_SOURCE_DIR}/CHANGELOG.md $<TARGET_FILE:Quillet> ${CMAKE_BINARY_DIR}/quillet.pc
          ${CMAKE_BINARY_DIR}/QuilletConfigVersion.cmake ${CMAKE_BINARY_DIR}/docs/Doxyfile
          ${PROJECT_SOURCE_DIR}/include/quillet.h ${PROJECT_SOURCE_DIR}/debian/changelog
          ${CMAKE_C_COMPILER})

if(QUILLET_DOXYGEN)
  add_test(NAME Docs.ReferenceBuildsWithoutWarnings
    COMMAND bash ${PROJECT_SOURCE_DIR}/docs/reference_test.sh ${QUILLET_DOXYGEN}
            ${QUILLET_DOXYFILE} ${PROJECT_SOURCE_DIR}/include/quillet.h)
endif()

# Both build a plain host against the library, which a sanitized library cannot serve.
if(NOT QUILLET_ASAN AND NOT QUILLET_TSAN)
  set(QUILLET_TEST_CERT_DIR ${CMAKE_BINARY_DIR}/sync-server-certs)
  add_test(NAME Docs.HostGuideSkeletonSyncs
    COMMAND bash ${PROJECT_SOURCE_DIR}/docs/host_guide_test.sh ${PROJECT_SOURCE_DIR}
            $<TARGET_FILE_DIR:Quillet> $<TARGET_FILE:quillet_sync_server> ${QUILLET_TEST_CERT_DIR})
  set_tests_properties(Docs.HostGuideSkeletonSyncs PROPERTIES TIMEOUT 120)

  add_test(NAME Package.DebsInstallBuildAndSync
    COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/package_test.sh ${PROJECT_SOURCE_DIR}
            ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} $<TARGET_FILE:quillet_sync_server>
            ${QUILLET_TEST_CERT_DIR})
  # dpkg-buildpackage builds the library once more (without tests), then lintian runs.
  set_tests_properties(Package.DebsInstallBuildAndSync PROPERTIES TIMEOUT 1200)
endif()

# A source build without the test tools (CTest's -DBUILD_TESTING=OFF) never looks them up.
add_test(NAME Build.WithoutTestToolsNeedsNoGTest
  COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/no_test_tools_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(Build.WithoutTestToolsNeedsNoGTest PROPERTIES TIMEOUT 120)
