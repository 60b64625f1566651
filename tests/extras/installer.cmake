# The installer package of this target, checked under Wine by a script in
# a Wine prefix of its own (tests/installer_test.sh). It builds the packages
# with wixl from the product and the custom action of this build.
find_program(VNK_WIXL wixl)
if(NOT VNK_WIXL)
  message(WARNING "wixl not found (tools/setup installs it): no installer test")
elseif(TARGET Varnokd AND TARGET VarnokdSetup)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(vnk_installer_arch x64)
  else()
    set(vnk_installer_arch x86)
  endif()
  add_test(NAME installer_test
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/installer_test.sh ${vnk_installer_arch} ${CMAKE_BINARY_DIR})
  set_tests_properties(installer_test PROPERTIES TIMEOUT 600)
endif()
