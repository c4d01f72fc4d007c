# Installation laid out as Debian's Java policy has it, and the .deb packages built from it:
#   varnel-porthandler: the JNI library in lib/<multiarch>/jni, the jar in share/java (versioned,
#     with an unversioned symlink);
#   varnel-porthandler-simulator: the simulator's libraries as an install root for SetDCXPath,
#     the recording stand-in's as another, and the testkit: its jar in share/java beside the
#     main one, its natives in the simulator's root.
include(GNUInstallDirs)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VARNEL_JNI_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/jni)
else()
  set(VARNEL_JNI_DIR ${CMAKE_INSTALL_LIBDIR}/jni)
endif()
install(TARGETS VarnelPHJNI LIBRARY DESTINATION ${VARNEL_JNI_DIR} COMPONENT bridge)

if(VARNEL_JAVA)
  get_target_property(jar varnel_porthandler JAR_FILE)
  set(versioned_jar varnel-porthandler-${PROJECT_VERSION}.jar)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
  file(CREATE_LINK ${versioned_jar} ${CMAKE_BINARY_DIR}/install-links/varnel-porthandler.jar
       SYMBOLIC)
  install(FILES ${jar} DESTINATION ${CMAKE_INSTALL_DATADIR}/java RENAME ${versioned_jar}
          COMPONENT bridge)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/varnel-porthandler.jar
          DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT bridge)
endif()

# The service libraries find libvarnelsim.so beside them wherever the root is unpacked.
set_target_properties(vsim_dcxif vsim_portconfig PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS varnelsim vsim_dcxif vsim_portconfig
        LIBRARY DESTINATION
          ${CMAKE_INSTALL_DATADIR}/varnel-porthandler/simulator-root/varnel_dcx/relayhost
        COMPONENT simulator)
# The recording stand-in, to be copied into a root of one's own beside its vsim-record.conf.
install(TARGETS vrec_dcxif vrec_portconfig
        LIBRARY DESTINATION
          ${CMAKE_INSTALL_DATADIR}/varnel-porthandler/record-root/varnel_dcx/relayhost
        COMPONENT simulator)
if(VARNEL_JAVA)
  install(TARGETS varnelsimjni
          LIBRARY DESTINATION
            ${CMAKE_INSTALL_DATADIR}/varnel-porthandler/simulator-root/varnel_dcx/relayhost
          COMPONENT simulator)
  get_target_property(testkit_jar varnel_porthandler_testkit JAR_FILE)
  set(versioned_testkit varnel-porthandler-testkit-${PROJECT_VERSION}.jar)
  file(CREATE_LINK ${versioned_testkit}
       ${CMAKE_BINARY_DIR}/install-links/varnel-porthandler-testkit.jar SYMBOLIC)
  install(FILES ${testkit_jar} DESTINATION ${CMAKE_INSTALL_DATADIR}/java
          RENAME ${versioned_testkit} COMPONENT simulator)
  install(FILES ${CMAKE_BINARY_DIR}/install-links/varnel-porthandler-testkit.jar
          DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT simulator)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnel-porthandler)
set(CPACK_PACKAGE_VENDOR Varnel)
set(CPACK_PACKAGE_CONTACT "Varnel port handler developers <porthandler@varnel.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL bridge simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME varnel-porthandler)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION java)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_RECOMMENDS "default-jre-headless | java17-runtime-headless")
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION
    "Java access to the Varnel port service\n PortHandlerIO and its native library for Linux.")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME varnel-porthandler-simulator)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION devel)
# The testkit drives ports through the main jar.
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS "varnel-porthandler (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
    "Varnel port service simulator\n An install root of scriptable port-service libraries, for\n tests and demonstrations of PortHandlerIO without hardware, and\n varnel-porthandler-testkit.jar to test device services with it.")
include(CPack)

if(VARNEL_JAVA)
  get_target_property(test_jar varnel_porthandler_tests JAR_FILE)
  get_target_property(example_jar varnel_porthandler_testkit_example JAR_FILE)
  get_target_property(testkit_test_jar varnel_porthandler_testkit_tests JAR_FILE)
  get_directory_property(junit_console DIRECTORY ${CMAKE_SOURCE_DIR}/java DEFINITION JUNIT_CONSOLE)
  add_test(NAME DebianPackages
           COMMAND sh ${CMAKE_SOURCE_DIR}/java/check_packages.sh ${CMAKE_CPACK_COMMAND}
                   ${CMAKE_BINARY_DIR} ${Java_JAVA_EXECUTABLE} ${test_jar} ${VARNEL_JNI_DIR}
                   ${junit_console} ${example_jar} ${testkit_test_jar})
  set_tests_properties(DebianPackages PROPERTIES LABELS package TIMEOUT 120)
endif()
