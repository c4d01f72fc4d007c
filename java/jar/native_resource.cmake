# Stages the jar's copy of LIBRARY in DIRECTORY, without debug sections, and records its size
# and SHA-256, and those of LIBRARY, beside it as libVarnelPHJNI.properties.
execute_process(COMMAND ${OBJCOPY} --strip-debug ${LIBRARY} ${DIRECTORY}/libVarnelPHJNI.so
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJCOPY} could not copy ${LIBRARY}")
endif()
file(SIZE ${DIRECTORY}/libVarnelPHJNI.so size)
file(SHA256 ${DIRECTORY}/libVarnelPHJNI.so digest)
# The library as built, debug sections kept, is what the build tree and the packages install: the
# loader takes it for the jar's own build too.
file(SIZE ${LIBRARY} built_size)
file(SHA256 ${LIBRARY} built_digest)
file(WRITE ${DIRECTORY}/libVarnelPHJNI.properties
     "size=${size}\nsha256=${digest}\nbuilt.size=${built_size}\nbuilt.sha256=${built_digest}\n")
