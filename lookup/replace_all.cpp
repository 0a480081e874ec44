// STUB: replaced by the implementation.
#include "lookup/replace_all.h"
std::string replace_all(std::string_view, std::string_view, std::string& subject) { return subject; }
