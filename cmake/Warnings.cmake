# Warnings every target of ours is built with.
function(brantwicker_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${BRANTWICKER_WERROR}>:/WX>)
    return()
  endif()
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic
    -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast -Wcast-qual
    -Wformat=2 -Wundef -Wnon-virtual-dtor -Woverloaded-virtual
    -Wmissing-declarations -Wimplicit-fallthrough
    $<$<BOOL:${BRANTWICKER_WERROR}>:-Werror>)
endfunction()
