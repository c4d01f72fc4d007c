# Stages the jar's copy of LIBRARY in DIRECTORY, without debug sections, and records its size
# and SHA-256 beside it as libVarnelPHJNI.properties.
execute_process(COMMAND ${OBJCOPY} --strip-debug ${LIBRARY} ${DIRECTORY}/libVarnelPHJNI.so
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJCOPY} could not copy ${LIBRARY}")
endif()
file(SIZE ${DIRECTORY}/libVarnelPHJNI.so size)
file(SHA256 ${DIRECTORY}/libVarnelPHJNI.so digest)
file(WRITE ${DIRECTORY}/libVarnelPHJNI.properties "size=${size}\nsha256=${digest}\n")
