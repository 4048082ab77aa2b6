# Warnings are errors everywhere in this tree.
function(zelfx_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wformat=2 -Wno-format-nonliteral -Wundef -Wcast-qual -Wnull-dereference
    -Werror)
endfunction()
