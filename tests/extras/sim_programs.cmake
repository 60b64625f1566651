# sim_pipe_test starts the simulator and its control program: it finds
# them by their place relative to its own directory, and they are built
# before it.
if(TARGET sim_pipe_test AND TARGET VarnokSim AND TARGET VarnokSimCtl)
  add_dependencies(sim_pipe_test VarnokSim VarnokSimCtl)
  get_target_property(vnk_sim_programs_dir VarnokSim RUNTIME_OUTPUT_DIRECTORY)
  file(RELATIVE_PATH vnk_sim_programs_rel ${CMAKE_CURRENT_BINARY_DIR} ${vnk_sim_programs_dir})
  string(REGEX REPLACE "/$" "" vnk_sim_programs_rel "${vnk_sim_programs_rel}")
  if(vnk_sim_programs_rel STREQUAL "")
    set(vnk_sim_programs_rel ".")
  endif()
  string(REPLACE "/" "\\\\" vnk_sim_programs_rel "${vnk_sim_programs_rel}")
  target_compile_definitions(sim_pipe_test PRIVATE "VNK_SIM_PROGRAMS_DIR=\"${vnk_sim_programs_rel}\"")
endif()
