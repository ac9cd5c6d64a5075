# Interface targets that carry the project's warning set and sanitizer options.
add_library(setup_warnings INTERFACE)
target_compile_options(setup_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wnull-dereference -Wformat=2)
if(SETUP_WERROR)
  target_compile_options(setup_warnings INTERFACE -Werror)
endif()

add_library(setup_sanitizers INTERFACE)
if(SETUP_SANITIZE)
  target_compile_options(setup_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(setup_sanitizers INTERFACE -fsanitize=address,undefined)
endif()

# No path of the build machine goes into the objects, so two build trees of one commit
# make the same bytes. The build tree is named second: the later map wins where both match.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
