# The process tests start the product executable beside the tests' folder.
if(TARGET app_process_test)
  add_dependencies(app_process_test Varnokd)
endif()
