# e2e_test drives the simulator build of the client, the simulator and its
# control program as separate processes: they are built before it.
if(TARGET e2e_test AND TARGET VarnokSim AND TARGET VarnokSimCtl AND TARGET VarnokdSim)
  add_dependencies(e2e_test VarnokSim VarnokSimCtl VarnokdSim)
endif()
