// The YARA rules in force: every .yar and .yara file of one folder, each
// compiled on its own first, so that a file that does not compile is left
// out and the rest still match. Compiled again on demand (SIGHUP); a new
// set of which nothing compiles leaves the old one in force.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct YR_RULES;

// One compiled set, shared by the scans that started under it.
struct CompiledRules {
    CompiledRules() = default;
    CompiledRules(const CompiledRules&) = delete;
    CompiledRules& operator=(const CompiledRules&) = delete;
    ~CompiledRules();

    YR_RULES*   rules = nullptr;
    std::string identity;  // SHA-256 of the compiled files' names and texts, in hex
    std::size_t files = 0;
};

// A rule file left out, and the compiler's first complaint about it.
struct RuleFileError {
    std::string file;
    std::string message;
};

class YaraRules {
public:
    explicit YaraRules(std::string folder);

    // Compiles the folder again. False when nothing of it compiled (an old
    // set, if any, stays); `log` holds lines for the operator either way.
    bool load(std::vector<std::string>& log);

    // The set in force, null before any compiled.
    std::shared_ptr<const CompiledRules> current() const;
    // The files the last load left out.
    std::vector<RuleFileError> errors() const;
    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    mutable std::mutex mutex_;
    std::shared_ptr<const CompiledRules> current_;
    std::vector<RuleFileError> errors_;
};

// Compiles one text of rules on its own, as an analyst hands it over for a
// retro-hunt, with `own` (rules of the caller's, in the namespace
// `own_namespace`) beside them when given. Null with `error` holding the
// compiler's first complaint.
std::shared_ptr<const CompiledRules> compile_rule_text(std::string_view text, std::string& error,
                                                       const char* own = nullptr,
                                                       const char* own_namespace = nullptr);

// The libyara version, "4.2.3".
std::string yara_version();
