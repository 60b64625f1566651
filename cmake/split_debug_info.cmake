# Moves a program's debug information into a file of its own beside it
# (NAME.exe.debug, found by debuggers through the debug link). Under Wine
# every section of an image that is not page-aligned in its file is read
# into private memory, debug sections included: left in, they cost a
# running program some megabytes.
function(vnk_split_debug_info target)
  if(NOT CMAKE_OBJCOPY)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-debug --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug
            $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
