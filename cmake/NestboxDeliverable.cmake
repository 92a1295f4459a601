# nestbox_add_deliverable(<target>
#                         APP_DIR <dir> ENTRY <name>
#                         [OUTPUT_NAME <name>] [DEPENDS <target-or-file>...])
#
# Adds an executable <target> that carries the whole tree under <dir> and
# runs <name> (a path relative to <dir>) from it. At build time nestbox-pack
# writes an assembler file that embeds the tree's contents stream; the
# executable is that file assembled and linked with the launcher library.
# The pack runs again when any packed file or directory changes (through a
# depfile) and after the DEPENDS have been built, so <dir> may be produced by
# targets of the same build. A relative <dir> is taken from the current
# source directory.
#
# Which tool packs and which library launches come from the variables
# NESTBOX_PACK_TARGET and NESTBOX_LAUNCHER_TARGET: the targets of the nestbox
# build itself by default, the imported nestbox::pack and nestbox::launcher
# when a package config sets them before including this file.

include_guard(GLOBAL)

# Paths in the depfile are absolute; let Ninja see them as the build graph
# does. Set here, the policy holds for the function defined below.
cmake_policy(SET CMP0116 NEW)

function(nestbox_add_deliverable target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "APP_DIR;ENTRY;OUTPUT_NAME" "DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nestbox_add_deliverable(${target}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_APP_DIR OR NOT arg_ENTRY)
    message(FATAL_ERROR "nestbox_add_deliverable(${target}): APP_DIR and ENTRY are required")
  endif()
  # Read at each call, so that every directory sees the same defaults
  # whichever of them included this file first.
  set(pack_tool nestbox-pack)
  if(DEFINED NESTBOX_PACK_TARGET)
    set(pack_tool ${NESTBOX_PACK_TARGET})
  endif()
  set(launcher_library nestbox_launcher)
  if(DEFINED NESTBOX_LAUNCHER_TARGET)
    set(launcher_library ${NESTBOX_LAUNCHER_TARGET})
  endif()
  cmake_path(ABSOLUTE_PATH arg_APP_DIR BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
             OUTPUT_VARIABLE app_dir)

  set(generated_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}.nestbox)
  set(assembly ${generated_dir}/contents.S)
  set(stream ${assembly}.stream)
  set(depfile ${generated_dir}/contents.d)

  add_custom_command(
    OUTPUT ${assembly} ${stream}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated_dir}
    COMMAND ${pack_tool}
            --emit-asm ${assembly} --depfile ${depfile}
            --entry ${arg_ENTRY} ${app_dir}
    DEPENDS ${pack_tool} ${arg_DEPENDS}
    DEPFILE ${depfile}
    COMMENT "Packing ${app_dir} for ${target}"
    VERBATIM)

  # The stream is taken in by .incbin, which no dependency scanner sees: the
  # object must be remade when the stream changes. -g0 keeps build paths out
  # of the object whatever the build type.
  set_source_files_properties(${assembly} PROPERTIES
    OBJECT_DEPENDS ${stream}
    COMPILE_OPTIONS -g0)

  add_executable(${target} ${assembly})
  target_link_libraries(${target} PRIVATE ${launcher_library})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  if(arg_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME})
  endif()
endfunction()
