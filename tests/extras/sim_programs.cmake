# sim_pipe_test starts the simulator and its control program: they are
# built before it.
if(TARGET sim_pipe_test AND TARGET VarnokSim AND TARGET VarnokSimCtl)
  add_dependencies(sim_pipe_test VarnokSim VarnokSimCtl)
endif()
