# What an installation holds, for the components that use Horolog:
#
#   include/horolog/      horolog.h (record, interfaces, codes), server.h (GetHorolog)
#   include/winplat/      the platform header the public header includes
#                         (natively with our own Win32/COM declarations)
#   lib/                  natively: Horolog.so, libwinplat.so, Kestrel.so, Chron.so
#                         Windows: libHorolog.dll.a, the import library of GetHorolog
#                         both: libhorolog_uuid.a, the identifiers of the header
#   bin/                  Windows: Horolog.dll, Kestrel.dll, Chron.dll
#                         natively: horolog-regsvr, the registration tool
#   lib/cmake/Horolog/    find_package(Horolog CONFIG): the target Horolog::Horolog
#   lib/pkgconfig/        horolog.pc
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The identifiers declared by the public header (CLSID_Horolog, IID_IHorolog,
# IID_ITimerSite, IID_IHorologSite), defined once, as Windows ships its own
# in uuid.lib. The module keeps its own copy to itself.
add_library(horolog_uuid STATIC ${PROJECT_SOURCE_DIR}/core/guids.cpp)
target_include_directories(horolog_uuid PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(horolog_uuid PUBLIC winplat)

install(FILES
  ${PROJECT_SOURCE_DIR}/include/horolog/horolog.h
  ${PROJECT_SOURCE_DIR}/server/include/horolog/server.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/horolog)
install(FILES ${PROJECT_SOURCE_DIR}/platform/include/winplat/winapi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/winplat)
if(HOROLOG_NATIVE)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/winplat/native
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/winplat
    FILES_MATCHING PATTERN "*.h")
endif()

install(TARGETS horolog_uuid ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Natively the modules sit with the libraries; on Windows the DLLs go to
# bin and the import library of Horolog to lib.
install(TARGETS Horolog Kestrel Chron
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(HOROLOG_NATIVE)
  install(TARGETS winplat LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS horolog-regsvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The CMake package.
set(HOROLOG_CONFIG_NATIVE ${HOROLOG_NATIVE})
set(horolog_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Horolog)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/HorologConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/HorologConfig.cmake
  INSTALL_DESTINATION ${horolog_cmake_dir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/HorologConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/HorologConfig.cmake
  ${PROJECT_BINARY_DIR}/package/HorologConfigVersion.cmake
  DESTINATION ${horolog_cmake_dir})

# The pkg-config file, relocatable: its prefix is found from its own place.
set(horolog_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH HOROLOG_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${horolog_pc_dir} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" HOROLOG_PC_TO_PREFIX "${HOROLOG_PC_TO_PREFIX}")
if(HOROLOG_NATIVE)
  # Horolog.so has no lib prefix (it is a module, named as on Windows).
  set(HOROLOG_PC_LIBS "-L\${libdir} -Wl,-rpath-link,\${libdir} -l:Horolog.so -lhorolog_uuid -lwinplat")
else()
  set(HOROLOG_PC_LIBS "-L\${libdir} -lHorolog -lhorolog_uuid -lole32 -loleaut32 -luuid -luser32 -ladvapi32")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/horolog.pc.in ${PROJECT_BINARY_DIR}/package/horolog.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/horolog.pc DESTINATION ${horolog_pc_dir})
