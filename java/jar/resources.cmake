# What the jar carries besides its classes: the native library (stripped of debug sections, with
# its size and SHA-256 for the loader to check the extracted copy against), the Maven coordinates
# and a manifest that allows native access. Sets VARNEL_JAR_MANIFEST and VARNEL_JAR_RESOURCES.
set(jar_native ${CMAKE_CURRENT_BINARY_DIR}/jar-resources/native)
set(jar_maven ${CMAKE_CURRENT_BINARY_DIR}/jar-resources/maven)
# add_jar wants its resources to exist when it is configured: empty placeholders stand in until
# the first build writes the library's.
foreach(file libVarnelPHJNI.so libVarnelPHJNI.properties)
  if(NOT EXISTS ${jar_native}/${file})
    file(WRITE ${jar_native}/${file} "")
  endif()
endforeach()
add_custom_command(
  OUTPUT ${jar_native}/libVarnelPHJNI.so ${jar_native}/libVarnelPHJNI.properties
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:VarnelPHJNI> -DOBJCOPY=${CMAKE_OBJCOPY}
          -DDIRECTORY=${jar_native} -P ${CMAKE_CURRENT_SOURCE_DIR}/jar/native_resource.cmake
  DEPENDS VarnelPHJNI ${CMAKE_CURRENT_SOURCE_DIR}/jar/native_resource.cmake
  VERBATIM)

configure_file(${CMAKE_CURRENT_SOURCE_DIR}/jar/pom.xml.in ${jar_maven}/pom.xml @ONLY)
file(CONFIGURE OUTPUT ${jar_maven}/pom.properties
     CONTENT "groupId=com.varnel.pos\nartifactId=varnel-porthandler\nversion=${PROJECT_VERSION}\n")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/jar/MANIFEST.MF.in ${CMAKE_CURRENT_BINARY_DIR}/MANIFEST.MF
               @ONLY)

set(VARNEL_JAR_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/MANIFEST.MF)
set(VARNEL_JAR_RESOURCES
    NAMESPACE native/linux-x86_64
      ${jar_native}/libVarnelPHJNI.so ${jar_native}/libVarnelPHJNI.properties
    NAMESPACE META-INF/maven/com.varnel.pos/varnel-porthandler
      ${jar_maven}/pom.xml ${jar_maven}/pom.properties)
