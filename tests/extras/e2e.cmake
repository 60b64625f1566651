# e2e_test drives the simulator build of the client, the simulator and its
# control program as separate processes: they are built before it, and it
# finds them by their place relative to its own directory.
if(TARGET e2e_test AND TARGET VarnokSim AND TARGET VarnokSimCtl AND TARGET VarnokdSim)
  add_dependencies(e2e_test VarnokSim VarnokSimCtl VarnokdSim)
  get_target_property(vnk_e2e_programs_dir VarnokdSim RUNTIME_OUTPUT_DIRECTORY)
  file(RELATIVE_PATH vnk_e2e_programs_rel ${CMAKE_CURRENT_BINARY_DIR} ${vnk_e2e_programs_dir})
  string(REGEX REPLACE "/$" "" vnk_e2e_programs_rel "${vnk_e2e_programs_rel}")
  if(vnk_e2e_programs_rel STREQUAL "")
    set(vnk_e2e_programs_rel ".")
  endif()
  string(REPLACE "/" "\\\\" vnk_e2e_programs_rel "${vnk_e2e_programs_rel}")
  target_compile_definitions(e2e_test PRIVATE "VNK_E2E_PROGRAMS_DIR=\"${vnk_e2e_programs_rel}\"")
endif()
