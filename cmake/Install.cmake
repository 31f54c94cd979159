# Installing Vastrel: public headers under include/vastrel/ (include/ on the path), the
# component and the engine with SOVERSIONs, the tools, a CMake package (find_package(Vastrel)
# gives Vastrel::vastrel and Vastrel::wbtrv32), pkg-config files (vastrel, wbtrv32), and
# Debian packages through CPack. Only the headers below are installed: the rest of the tree
# stays private.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The component's public headers: what table/btr.h and the automation surface include, and
# the date and time helpers of typed field access. Kept as a list so that a new private
# header never leaks by accident.
set(VASTREL_PUBLIC_HEADERS
  automation/comlib.h automation/dispatch.h automation/json.h automation/persistence.h
  automation/runtime.h automation/vastrel_impl.h automation/vastrel_tlb.h
  dictionary/btrdictlist.h dictionary/btrfld.h dictionary/field_text.h dictionary/field_type.h
  dictionary/record_host.h
  binding/btrexception.h binding/engine.h
  keys/btrkey.h keys/btrklist.h keys/file_flags.h
  platform/calendar.h platform/error.h platform/export.h platform/hooks.h platform/locale.h
  platform/oleauto.h platform/utf8.h
  table/btr.h table/field.h)
# Installed, the headers sit under include/vastrel/ and only include/ goes on a user's
# include path, so that a user's own table/btr.h is never taken for ours: programs write
# #include <vastrel/table/btr.h>. The headers include each other by their path in the
# source tree ("table/btr.h"); the installed copies, made here, say "vastrel/table/btr.h".
set(_header_stage ${PROJECT_BINARY_DIR}/include/vastrel)
foreach(h IN LISTS VASTREL_PUBLIC_HEADERS)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${h})
  file(READ ${PROJECT_SOURCE_DIR}/${h} _text)
  string(REGEX REPLACE "#include \"([a-z_]+/[^\"]+)\"" "#include \"vastrel/\\1\"" _text
         "${_text}")
  file(WRITE ${_header_stage}/${h}.new "${_text}")
  configure_file(${_header_stage}/${h}.new ${_header_stage}/${h} COPYONLY)
  file(REMOVE ${_header_stage}/${h}.new)
  get_filename_component(_dir ${h} DIRECTORY)
  install(FILES ${_header_stage}/${h}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vastrel/${_dir} COMPONENT dev)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/enginecore/include/wbtrv32.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vastrel COMPONENT dev)
# The binding's headers were once installed as vastrel/engine/: programs written then still
# compile, through headers there that include the binding's.
foreach(h btrexception.h engine.h)
  file(WRITE ${_header_stage}/engine/${h}.new
       "// Kept for programs written against this path: the header is vastrel/binding/${h}.\n"
       "#pragma once\n#include \"vastrel/binding/${h}\"\n")
  configure_file(${_header_stage}/engine/${h}.new ${_header_stage}/engine/${h} COPYONLY)
  file(REMOVE ${_header_stage}/engine/${h}.new)
  install(FILES ${_header_stage}/engine/${h}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vastrel/engine COMPONENT dev)
endforeach()

target_include_directories(vastrel INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(wbtrv32 INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/enginecore/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(wbtrv32 PROPERTIES VERSION ${PROJECT_VERSION}
                      SOVERSION ${PROJECT_VERSION_MAJOR})

install(TARGETS vastrel EXPORT VastrelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
# The component loads the engine by its plain name (libwbtrv32.so), so that name ships with
# the library itself, not only with the development files.
install(TARGETS wbtrv32 EXPORT VastrelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
# The server engine: a library of its own, in a package of its own, so that only hosts that
# keep their files on a PostgreSQL server install libpq.
set_target_properties(wbtrv32pg PROPERTIES VERSION ${PROJECT_VERSION}
                      SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS wbtrv32pg
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT pg NAMELINK_COMPONENT pg)
install(TARGETS vastrel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS vastrel-example RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
if(TARGET vastrel_pages)
  install(TARGETS vastrel_pages LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT designer
          NAMELINK_SKIP)
  install(TARGETS vastrel_designer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT designer)
endif()

set(_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Vastrel)
install(EXPORT VastrelTargets NAMESPACE Vastrel:: DESTINATION ${_cmake_dir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VastrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VastrelConfig.cmake INSTALL_DESTINATION ${_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VastrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VastrelConfig.cmake
              ${PROJECT_BINARY_DIR}/VastrelConfigVersion.cmake
        DESTINATION ${_cmake_dir} COMPONENT dev)

file(RELATIVE_PATH VASTREL_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" VASTREL_PC_TO_PREFIX "${VASTREL_PC_TO_PREFIX}")
foreach(pc vastrel wbtrv32)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# ---- Debian packages ---------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vastrel)
set(CPACK_PACKAGE_VENDOR "The Vastrel developers")
set(CPACK_PACKAGE_CONTACT "The Vastrel developers <vastrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Record-level access to record files: keys, navigation, locks, transactions, owner names")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link libvastrel from the runtime package, which is not installed while the
# packages are made: dpkg-shlibdeps finds it in the build tree, and the package's own
# dependency on the runtime package (below) names it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENTS_ALL runtime dev tools pg)
if(TARGET _vastrel)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vastrel)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Vastrel for Python 3: the vastrel module")
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  # The module is built for one Python version.
  math(EXPR _next_minor "${VASTREL_PYTHON_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${VASTREL_PYTHON_MAJOR}.${VASTREL_PYTHON_MINOR}), python3 (<< ${VASTREL_PYTHON_MAJOR}.${_next_minor})")
endif()
if(TARGET vastrel_pages)
  list(APPEND CPACK_COMPONENTS_ALL designer)
  set(CPACK_DEBIAN_DESIGNER_PACKAGE_NAME vastrel-designer)
  set(CPACK_DEBIAN_DESIGNER_PACKAGE_SECTION devel)
  set(CPACK_COMPONENT_DESIGNER_DESCRIPTION
      "Vastrel design-time pages (Qt) and the vastrel-designer program")
  set(CPACK_COMPONENT_DESIGNER_DEPENDS runtime)
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvastrel${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvastrel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vastrel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Vastrel component (libvastrel) and its embedded record engine (libwbtrv32)")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Vastrel development files: headers, CMake package and pkg-config files")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Vastrel tools: the vastrel utility and the example host")
set(CPACK_DEBIAN_PG_PACKAGE_NAME libwbtrv32pg${PROJECT_VERSION_MAJOR})
set(CPACK_COMPONENT_PG_DESCRIPTION
    "Vastrel server engine (libwbtrv32pg): record files kept in a PostgreSQL database")
set(CPACK_COMPONENT_PG_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
include(CPack)
