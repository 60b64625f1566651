# Small programs that carry other version resources (or none) for
# version_info_test. They land beside the test executable, which finds them
# in its own directory.
set(VNK_VERSION_SAMPLES
  version_two_translations
  version_german_only
  version_wide_numbers
  version_none)
foreach(sample ${VNK_VERSION_SAMPLES})
  set(sample_sources ${CMAKE_CURRENT_SOURCE_DIR}/data/version_sample.c)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/data/${sample}.rc)
    list(APPEND sample_sources ${CMAKE_CURRENT_SOURCE_DIR}/data/${sample}.rc)
  endif()
  add_executable(${sample} ${sample_sources})
  if(TARGET version_info_test)
    add_dependencies(version_info_test ${sample})
  endif()
endforeach()
