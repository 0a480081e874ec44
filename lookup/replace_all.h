// Left-to-right, non-overlapping substring replacement over bytes.
#pragma once

#include <string>
#include <string_view>

// Replaces every non-overlapping occurrence of `pattern` in `subject` by
// `replacement`, scanning left to right; the replacement is never scanned
// again. `subject` receives the result and a copy of it is returned. An empty
// pattern leaves `subject` as it is. Should building the result fail, the
// exception passes to the caller and `subject` is unchanged.
std::string replace_all(std::string_view pattern, std::string_view replacement,
                        std::string& subject);
