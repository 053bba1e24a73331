# qtx_add_module(NAME <name> SOURCES <files...>
#                [XML <command file>]
#                [LIBDIR <targets, files or folders...>]
#                [LIBS <link targets...>]
#                [OUTPUT_DIRECTORY <dir>]    default ${PROJECT_BINARY_DIR}/modules
#                [TARGET <target name>]      default <name>
#                [PADDING <0-7>]             bytes after the signature block's marker
#                [NOSIGN])                   leave unsigned (sign elsewhere with qtx-sign)
#
# Builds the module "<name>.so" (no "lib" prefix) into the output folder with a
# RUNPATH of $ORIGIN/<name>, copies the command file beside it as "<name>.xml"
# and the LIBDIR items into "<name>/", then signs the library with qtx-sign
# (POST_BUILD) using QTX_MODULE_SIGNING_KEY. Only functions marked with
# QTX_MODULE_EXPORT / QTX_MODULE_COMMAND are exported.
function(qtx_add_module)
  cmake_parse_arguments(M "NOSIGN" "NAME;XML;OUTPUT_DIRECTORY;TARGET;PADDING" "SOURCES;LIBDIR;LIBS" ${ARGN})
  if(NOT M_NAME OR NOT M_SOURCES)
    message(FATAL_ERROR "qtx_add_module: NAME and SOURCES are required")
  endif()
  if(M_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qtx_add_module(${M_NAME}): unknown arguments ${M_UNPARSED_ARGUMENTS}")
  endif()
  set(_target ${M_NAME})
  if(M_TARGET)
    set(_target ${M_TARGET})
  endif()
  set(_out ${PROJECT_BINARY_DIR}/modules)
  if(M_OUTPUT_DIRECTORY)
    set(_out ${M_OUTPUT_DIRECTORY})
  endif()

  add_library(${_target} MODULE ${M_SOURCES})
  target_link_libraries(${_target} PRIVATE qtx::sdk ${M_LIBS})
  set_target_properties(${_target} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    OUTPUT_NAME ${M_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${_out}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # The module's own dependencies resolve from the folder named like it.
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN/${M_NAME}")
  # RUNPATH rather than RPATH, so LD_LIBRARY_PATH still takes precedence.
  target_link_options(${_target} PRIVATE "LINKER:--enable-new-dtags")

  if(M_XML)
    get_filename_component(_xml ${M_XML} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    add_custom_command(TARGET ${_target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy ${_xml} ${_out}/${M_NAME}.xml
      VERBATIM)
    set_property(TARGET ${_target} APPEND PROPERTY LINK_DEPENDS ${_xml})
  endif()

  if(M_LIBDIR)
    add_custom_command(TARGET ${_target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}/${M_NAME}
      VERBATIM)
    foreach(_item ${M_LIBDIR})
      if(TARGET ${_item})
        add_dependencies(${_target} ${_item})
        add_custom_command(TARGET ${_target} POST_BUILD
          COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${_item}> ${_out}/${M_NAME}/
          VERBATIM)
      else()
        get_filename_component(_path ${_item} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        if(IS_DIRECTORY ${_path})
          add_custom_command(TARGET ${_target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy_directory ${_path} ${_out}/${M_NAME}
            VERBATIM)
        else()
          add_custom_command(TARGET ${_target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy ${_path} ${_out}/${M_NAME}/
            VERBATIM)
        endif()
      endif()
    endforeach()
  endif()

  if(M_NOSIGN)
    return()
  endif()
  if(NOT QTX_MODULE_SIGNING_KEY)
    message(STATUS "qtx_add_module(${M_NAME}): no QTX_MODULE_SIGNING_KEY, the module is left unsigned")
    return()
  endif()
  set(_padding)
  if(NOT "${M_PADDING}" STREQUAL "")
    set(_padding --padding ${M_PADDING})
  endif()
  add_dependencies(${_target} qtx-sign)
  set_property(TARGET ${_target} APPEND PROPERTY LINK_DEPENDS ${QTX_MODULE_SIGNING_KEY})
  add_custom_command(TARGET ${_target} POST_BUILD
    COMMAND $<TARGET_FILE:qtx-sign> sign --key ${QTX_MODULE_SIGNING_KEY} ${_padding} $<TARGET_FILE:${_target}>
    COMMENT "Signing module ${M_NAME}"
    VERBATIM)
endfunction()
