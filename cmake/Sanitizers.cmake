# Sanitizers apply to everything in the tree, tests and third-party code alike,
# so that no frame escapes instrumentation.
if(BRANTWICKER_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
