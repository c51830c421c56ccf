# What `cmake --install` puts in place: the public headers, the library and its companions
# KSVHidWatch and KSVHidDiagnose (with their SONAME links on Linux; the DLLs and their import
# libraries on Windows), the simulator library and its diagnose companion, ksvhid, a CMake
# package and, on Linux, a pkg-config file and the udev rule for modules. A consumer then writes
#   find_package(KSVHidApi 1.3 REQUIRED)
#   target_link_libraries(app PRIVATE KSVHidApi::KSVHidApi)   # and KSVHidApi::KSVHidWatch
# or builds with `pkg-config --cflags --libs KSVHidApi`. Both are relocatable: they find the
# installed files relative to themselves, wherever the tree was installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KSV_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KSVHidApi)

install(TARGETS KSVHidApi KSVHidWatch KSVHidDiagnose EXPORT KSVHidApiTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
)
# The simulator and recorder libraries: the same file names, in folders of their own, so that an
# application is pointed at one of them through its library search path.
foreach(ksv_beside IN ITEMS Simulator Recorder)
  string(TOLOWER ${ksv_beside} ksv_folder)
  if(TARGET KSVHidApi${ksv_beside})
    # The simulator's folder also holds its diagnose companion, which ksvhid diagnose loads.
    set(ksv_beside_targets KSVHidApi${ksv_beside})
    if(TARGET KSVHidDiagnose${ksv_beside})
      list(APPEND ksv_beside_targets KSVHidDiagnose${ksv_beside})
    endif()
    install(TARGETS ${ksv_beside_targets}
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}/ksvhid-${ksv_folder}
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/ksvhid-${ksv_folder}
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}/ksvhid-${ksv_folder}
    )
  endif()
endforeach()
install(FILES ${KSV_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET ksvhid)
  install(TARGETS ksvhid RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    # The installed ksvhid finds the installed library beside its own folder; on Windows the DLL
    # lies beside it.
    file(RELATIVE_PATH ksv_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(ksvhid PROPERTIES INSTALL_RPATH "$ORIGIN/${ksv_bin_to_lib}")
  endif()
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The udev rule that lets users open modules without root; the README says how to enable it.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/udev/70-ksvhid.rules DESTINATION lib/udev/rules.d)
endif()

install(EXPORT KSVHidApiTargets NAMESPACE KSVHidApi:: DESTINATION ${KSV_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KSVHidApiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/KSVHidApiConfig.cmake
  INSTALL_DESTINATION ${KSV_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/KSVHidApiConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/KSVHidApiConfig.cmake
              ${PROJECT_BINARY_DIR}/package/KSVHidApiConfigVersion.cmake
        DESTINATION ${KSV_PACKAGE_DIR})

if(NOT WIN32)
  # Paths in the .pc file relative to its own folder (${pcfiledir}), unless given absolute.
  set(ksv_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(KSV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    file(RELATIVE_PATH ksv_pc_up /${ksv_pc_dir} /)
    string(REGEX REPLACE "/$" "" ksv_pc_up "${ksv_pc_up}")
    set(KSV_PC_PREFIX "\${pcfiledir}/${ksv_pc_up}")
  endif()
  foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
      set(KSV_PC_${kind} "${CMAKE_INSTALL_${kind}}")
    else()
      set(KSV_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
    endif()
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/KSVHidApi.pc.in
                 ${PROJECT_BINARY_DIR}/package/KSVHidApi.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/KSVHidApi.pc DESTINATION ${ksv_pc_dir})
endif()
