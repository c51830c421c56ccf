# Installs the build into WORK_DIR/prefix and uses it as a consumer would: the files are where
# they belong, the installed ksvhid runs on the installed library, and a C program builds and runs
# against it through find_package and (Linux) pkg-config. Arguments: see tests/cli/CMakeLists.txt.
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 300)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_files)
  foreach(file IN LISTS ARGN)
    if(NOT EXISTS ${prefix}/${file})
      file(GLOB_RECURSE present RELATIVE ${prefix} ${prefix}/*)
      message(FATAL_ERROR "not installed: ${file}\ninstalled:\n${present}")
    endif()
  endforeach()
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(package_files ${LIBDIR}/cmake/KSVHidApi/KSVHidApiConfig.cmake
    ${LIBDIR}/cmake/KSVHidApi/KSVHidApiConfigVersion.cmake
    ${LIBDIR}/cmake/KSVHidApi/KSVHidApiTargets.cmake)
if(WINDOWS)
  expect_files(include/KSVHidApi.h bin/KSVHidApi.dll ${LIBDIR}/libKSVHidApi.dll.a bin/ksvhid.exe
               include/KSVHidWatch.h bin/KSVHidWatch.dll include/KSVHidDiagnose.h
               bin/KSVHidDiagnose.dll ${package_files})
  run("installed ksvhid" ${EMULATOR} ${prefix}/bin/ksvhid.exe version)
  if(NOT out MATCHES "KSVHidApi ${VERSION}\nlibrary: [^\n]*bin.KSVHidApi\\.dll")
    message(FATAL_ERROR "installed ksvhid.exe does not use the installed DLL:\n${out}")
  endif()
  expect_files(bin/ksvhid-simulator/KSVHidApi.dll bin/ksvhid-simulator/KSVHidDiagnose.dll)
  run("installed ksvhid, simulated" ${EMULATOR} ${prefix}/bin/ksvhid.exe --simulated version)
  if(NOT out MATCHES "library: [^\n]*bin.ksvhid-simulator.KSVHidApi\\.dll")
    message(FATAL_ERROR "installed ksvhid.exe does not use the installed simulator:\n${out}")
  endif()
else()
  set(lib ${LIBDIR}/libKSVHidApi.so)
  expect_files(include/KSVHidApi.h ${lib} ${lib}.${SOVERSION} ${lib}.${VERSION} bin/ksvhid
               include/KSVHidWatch.h ${LIBDIR}/libKSVHidWatch.so.${SOVERSION}
               include/KSVHidDiagnose.h ${LIBDIR}/libKSVHidDiagnose.so.${SOVERSION}
               ${LIBDIR}/pkgconfig/KSVHidApi.pc lib/udev/rules.d/70-ksvhid.rules ${package_files})
  # The development link and the SONAME link lead to the one real file.
  foreach(link ${lib} ${lib}.${SOVERSION})
    if(NOT IS_SYMLINK ${prefix}/${link})
      message(FATAL_ERROR "${link} is not a symbolic link")
    endif()
  endforeach()
  file(REAL_PATH ${prefix}/${lib} real)
  if(NOT real STREQUAL "${prefix}/${lib}.${VERSION}")
    message(FATAL_ERROR "${lib} leads to ${real}")
  endif()
  # Not the build tree's library: the installed one, found through ksvhid's own run path.
  run("installed ksvhid" ${prefix}/bin/ksvhid version)
  file(REAL_PATH ${prefix}/${lib}.${VERSION} installed)
  if(NOT out STREQUAL "KSVHidApi ${VERSION}\nlibrary: ${installed}\n")
    message(FATAL_ERROR "installed ksvhid does not use the installed library:\n${out}")
  endif()
  set(simulator ${LIBDIR}/ksvhid-simulator/libKSVHidApi.so)
  expect_files(${simulator} ${simulator}.${SOVERSION} ${simulator}.${VERSION}
               ${LIBDIR}/ksvhid-simulator/libKSVHidDiagnose.so.${SOVERSION})
  run("installed ksvhid, simulated" ${prefix}/bin/ksvhid --simulated version)
  file(REAL_PATH ${prefix}/${simulator}.${VERSION} installed)
  if(NOT out STREQUAL "KSVHidApi ${VERSION}\nlibrary: ${installed}\n")
    message(FATAL_ERROR "installed ksvhid does not use the installed simulator:\n${out}")
  endif()
endif()

# find_package
if(TOOLCHAIN_FILE)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
# The README's C++ example and the output it shows, for a consumer on Linux.
if(NOT WINDOWS)
  file(READ ${README} readme)
  # The first cpp block after the heading, and the text block after it.
  string(FIND "${readme}" "\n## C++\n" at)
  string(SUBSTRING "${readme}" ${at} -1 readme)
  string(FIND "${readme}" "```cpp\n" at)
  math(EXPR at "${at} + 7")
  string(SUBSTRING "${readme}" ${at} -1 readme)
  string(FIND "${readme}" "```" end)
  string(SUBSTRING "${readme}" 0 ${end} example)
  string(FIND "${readme}" "```text\n" at)
  math(EXPR at "${at} + 8")
  string(SUBSTRING "${readme}" ${at} -1 readme)
  string(FIND "${readme}" "```" end)
  string(SUBSTRING "${readme}" 0 ${end} readme_output)
  if(example STREQUAL "" OR readme_output STREQUAL "")
    message(FATAL_ERROR "the README's C++ example or its output was not found")
  endif()
  file(WRITE ${WORK_DIR}/readme_example.cpp "${example}")
  set(readme_example -DREADME_EXAMPLE=${WORK_DIR}/readme_example.cpp -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
      "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}")
endif()
run("consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} ${toolchain} -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}" ${readme_example})
run("consumer build" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
if(WINDOWS)
  set(consumer ${WORK_DIR}/consumer/consumer.exe)
else()
  set(consumer ${WORK_DIR}/consumer/consumer)
endif()
run("consumer (find_package)" ${EMULATOR} ${consumer})
message(STATUS "find_package consumer: ${out}")
if(NOT WINDOWS)
  run("README's C++ example" ${CMAKE_COMMAND} -E env
      LD_LIBRARY_PATH=${prefix}/${LIBDIR}/ksvhid-simulator ${WORK_DIR}/consumer/readme_example)
  if(NOT out STREQUAL readme_output)
    message(FATAL_ERROR "the README's C++ example printed:\n${out}\nthe README shows:\n${readme_output}")
  endif()
endif()

# pkg-config
if(NOT WINDOWS)
  if(NOT PKG_CONFIG)
    message(FATAL_ERROR "pkg-config is missing")
  endif()
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  run("pkg-config" ${PKG_CONFIG} --modversion KSVHidApi)
  string(STRIP "${out}" pc_version)
  if(NOT pc_version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config gives version ${pc_version}, not ${VERSION}")
  endif()
  run("pkg-config" ${PKG_CONFIG} --cflags --libs KSVHidApi)
  separate_arguments(flags UNIX_COMMAND "${out}")
  run("pkg-config" ${PKG_CONFIG} --variable=libdir KSVHidApi)
  string(STRIP "${out}" libdir)
  separate_arguments(extra UNIX_COMMAND "${CONSUMER_FLAGS}")
  run("pkg-config consumer build" ${C_COMPILER} ${CONSUMER_DIR}/consumer.c -o ${WORK_DIR}/consumer_pc
      "-DEXPECTED_VERSION=\"${pc_version}\"" ${flags} -Wl,-rpath,${libdir} ${extra})
  run("consumer (pkg-config)" ${WORK_DIR}/consumer_pc)
  message(STATUS "pkg-config consumer: ${out}")
endif()
