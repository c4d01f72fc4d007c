# The shipped libraries load on glibc 2.17 and later without a libstdc++ on the machine. They link
# against stand-ins of libc, libm and the dynamic loader that offer each symbol at the newest
# version not above the floor (glibc 2.34+ keeps the old versions of dlopen, pthread_create and
# the rest beside the new ones), take the C++ runtime in statically and the unwinder from
# libgcc_s, and name libdl and libpthread, where systems before 2.34 keep dlopen and the threads.
set(VARNEL_GLIBC_FLOOR 2.17)
set(VARNEL_GLIBC_STUBS ${CMAKE_BINARY_DIR}/glibc-floor)

set(varnel_stub_files "")
foreach(soname libc.so.6 libm.so.6 ld-linux-x86-64.so.2)
  find_file(VARNEL_REAL_${soname} ${soname}
            PATHS /lib/${CMAKE_LIBRARY_ARCHITECTURE} /lib64 NO_DEFAULT_PATH REQUIRED)
  set(stem ${VARNEL_GLIBC_STUBS}/${soname})
  add_custom_command(
    OUTPUT ${stem}
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=${VARNEL_REAL_${soname}} -DFLOOR=${VARNEL_GLIBC_FLOOR}
            -DASSEMBLY=${stem}.s -DMAP=${stem}.map -P ${CMAKE_SOURCE_DIR}/cmake/glibc_stub.cmake
    COMMAND ${CMAKE_C_COMPILER} -shared -nostdlib -Wl,-soname,${soname}
            -Wl,--version-script,${stem}.map ${stem}.s -o ${stem}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/glibc_stub.cmake ${VARNEL_REAL_${soname}}
    COMMENT "glibc ${VARNEL_GLIBC_FLOOR} stand-in for ${soname}" VERBATIM)
  list(APPEND varnel_stub_files ${stem})
endforeach()
add_custom_target(glibc_floor_stubs DEPENDS ${varnel_stub_files})
find_file(VARNEL_LIBC_NONSHARED libc_nonshared.a PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
          NO_DEFAULT_PATH REQUIRED)
find_file(VARNEL_REAL_libdl libdl.so.2 PATHS /lib/${CMAKE_LIBRARY_ARCHITECTURE} NO_DEFAULT_PATH
          REQUIRED)
find_file(VARNEL_REAL_libpthread libpthread.so.0 PATHS /lib/${CMAKE_LIBRARY_ARCHITECTURE}
          NO_DEFAULT_PATH REQUIRED)

# Local stand-ins for what the static C++ runtime uses of glibc newer than the floor.
add_library(varnel_glibc_compat OBJECT EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/src/platform/GlibcCompat.c)
target_compile_options(varnel_glibc_compat PRIVATE -fvisibility=hidden)

# Links a shared library of ours to the floor; the sanitizer and fuzz builds keep the usual runtime.
function(varnel_glibc_floor target)
  if(VARNEL_SANITIZE OR VARNEL_FUZZ)
    return()
  endif()
  add_dependencies(${target} glibc_floor_stubs)
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:varnel_glibc_compat>)
  target_link_options(${target} PRIVATE -nodefaultlibs)
  # Files given as -Wl, so that CMake passes them as they are, adding no -l, -L or rpath. The
  # real libdl and libpthread name nothing we use on 2.34+; they are there for older systems.
  set(stubs ${VARNEL_GLIBC_STUBS})
  target_link_libraries(${target} PRIVATE
    -Wl,-Bstatic -lstdc++ -Wl,-Bdynamic -lgcc_s -lgcc
    -Wl,${stubs}/libm.so.6,${stubs}/libc.so.6,${VARNEL_LIBC_NONSHARED}
    -Wl,${stubs}/ld-linux-x86-64.so.2
    -Wl,--push-state,--no-as-needed,${VARNEL_REAL_libdl},${VARNEL_REAL_libpthread},--pop-state)
endfunction()
