#include "service/store.h"

std::string_view verdict_name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Unknown: return "unknown";
    case Verdict::Good:    return "good";
    case Verdict::Bad:     return "bad";
    }
    return "unknown";
}
