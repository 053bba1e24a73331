# Module author's SDK of the Quorvex Crypto Provider, as installed by the
# quorvex-crypto-provider-dev package:
#
#   find_package(QuorvexModuleSdk REQUIRED)
#   set(QTX_MODULE_SIGNING_KEY /path/to/vendor-private.pem)
#   qtx_add_module(NAME MyModule SOURCES mymodule.cpp XML MyModule.xml)
#
# Gives the target qtx::sdk (the ABI header qtxmodule.h, the display helper
# qtxdisplaytext.h, the buffer helper qtxlargebuffer.h and Qt5::Core), the
# imported executable qtx-sign, and the function qtx_add_module().
include(CMakeFindDependencyMacro)
find_dependency(Qt5 COMPONENTS Core)

get_filename_component(_qtx_sdk_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET qtx::sdk)
  add_library(qtx::sdk INTERFACE IMPORTED)
  set_target_properties(qtx::sdk PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_qtx_sdk_prefix}/include/quorvex"
    INTERFACE_LINK_LIBRARIES Qt5::Core)
endif()
if(NOT TARGET qtx-sign)
  add_executable(qtx-sign IMPORTED)
  set_target_properties(qtx-sign PROPERTIES IMPORTED_LOCATION "${_qtx_sdk_prefix}/bin/qtx-sign")
endif()
include("${_qtx_sdk_prefix}/share/quorvex-crypto-provider/cmake/QtxModule.cmake")
unset(_qtx_sdk_prefix)
