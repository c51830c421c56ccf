# KSVHidApi for Windows, from the release zip or an MSI installation: one folder per width (x64\,
# x86\) with the DLLs, both kinds of import library and this package in its cmake\ folder.
#
#   find_package(KSVHidApi 1.3 REQUIRED)      # CMAKE_PREFIX_PATH or KSVHidApi_DIR: the width's folder
#   target_link_libraries(app PRIVATE KSVHidApi::KSVHidApi)   # and KSVHidApi::KSVHidWatch, ...
#
# MSVC (and clang-cl) link the MSVC import library KSVHidApi.lib, mingw-w64 the GNU one
# libKSVHidApi.dll.a. The version file refuses a folder of the other width. The DLL must lie
# beside the application or on its PATH; $<TARGET_RUNTIME_DLLS:app> names it for a copy step.
get_filename_component(_ksv_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

foreach(_ksv_name IN ITEMS KSVHidApi KSVHidWatch KSVHidDiagnose)
  if(NOT TARGET KSVHidApi::${_ksv_name})
    add_library(KSVHidApi::${_ksv_name} SHARED IMPORTED)
    if(MINGW)
      set(_ksv_implib "${_ksv_dir}/lib${_ksv_name}.dll.a")
    else()
      set(_ksv_implib "${_ksv_dir}/${_ksv_name}.lib")
    endif()
    set_target_properties(KSVHidApi::${_ksv_name} PROPERTIES
      IMPORTED_LOCATION "${_ksv_dir}/${_ksv_name}.dll"
      IMPORTED_IMPLIB "${_ksv_implib}"
      INTERFACE_INCLUDE_DIRECTORIES "${_ksv_dir}/include")
  endif()
endforeach()
unset(_ksv_name)
unset(_ksv_implib)
unset(_ksv_dir)
