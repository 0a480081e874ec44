#include "lookup/replace_all.h"

#include <utility>

std::string replace_all(std::string_view pattern, std::string_view replacement,
                        std::string& subject)
{
    if (pattern.empty())
        return subject;

    // Built apart from `subject`, which keeps its value until the output is
    // complete; this also keeps `pattern` and `replacement` valid should they
    // view into `subject`.
    const std::string_view text = subject;
    std::string output;
    output.reserve(text.size());

    // Taking the next occurrence at or after the scan position is the same as
    // trying a match at every position in turn, the occurrence found first
    // being the leftmost.
    std::size_t scan = 0;
    for (std::size_t found = text.find(pattern); found != std::string_view::npos;
         found = text.find(pattern, scan)) {
        output.append(text, scan, found - scan);
        output.append(replacement);
        scan = found + pattern.size();
    }
    output.append(text, scan);

    subject = std::move(output);
    return subject;
}
