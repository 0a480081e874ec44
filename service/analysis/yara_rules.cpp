#include "service/analysis/yara_rules.h"

#include <yara.h>

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "service/store/digest_text.h"

namespace {

// libyara's global state, made once for the process and never torn down:
// scans may run until the very end.
bool yara_ready()
{
    static const bool ready = yr_initialize() == ERROR_SUCCESS;
    return ready;
}

// A rule file larger than this is refused unread: rules are text an
// operator writes, and a file this large is a mistake.
constexpr std::uintmax_t kRuleFileMax = 64u << 20;

struct CompilerDeleter {
    void operator()(YR_COMPILER* compiler) const { yr_compiler_destroy(compiler); }
};
using Compiler = std::unique_ptr<YR_COMPILER, CompilerDeleter>;

void first_error(int level, const char*, int line, const YR_RULE*, const char* message, void* user)
{
    auto* out = static_cast<std::string*>(user);
    if (level == YARA_ERROR_LEVEL_ERROR && out->empty())
        *out = "line " + std::to_string(line) + ": " + (message ? message : "error");
}

Compiler new_compiler(std::string* errors)
{
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS)
        return nullptr;
    yr_compiler_set_callback(compiler, first_error, errors);
    return Compiler(compiler);
}

struct RuleFile {
    std::string name;  // its file name, the namespace of its rules
    std::string text;
};

}  // namespace

CompiledRules::~CompiledRules()
{
    if (rules)
        yr_rules_destroy(rules);
}

std::string yara_version()
{
    return YR_VERSION;
}

std::shared_ptr<const CompiledRules> compile_rule_text(std::string_view text, std::string& error,
                                                       const char* own, const char* own_namespace)
{
    error.clear();
    if (!yara_ready()) {
        error = "libyara could not be initialised";
        return nullptr;
    }
    // libyara reads the text up to its first NUL: one inside would hide the rest.
    if (text.find('\0') != std::string_view::npos) {
        error = "the rules hold a NUL byte";
        return nullptr;
    }
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        error = "no rules given";
        return nullptr;
    }
    const std::string copy(text);
    Compiler compiler = new_compiler(&error);
    auto compiled = std::make_shared<CompiledRules>();
    if (!compiler || yr_compiler_add_string(compiler.get(), copy.c_str(), nullptr) != 0
        || (own && yr_compiler_add_string(compiler.get(), own, own_namespace) != 0)
        || yr_compiler_get_rules(compiler.get(), &compiled->rules) != ERROR_SUCCESS) {
        if (error.empty())
            error = "the rules do not compile";
        compiled->rules = nullptr;
        return nullptr;
    }
    compiled->files = 1;
    return compiled;
}

YaraRules::YaraRules(std::string folder) : folder_(std::move(folder)) {}

bool YaraRules::load(std::vector<std::string>& log)
{
    std::vector<RuleFileError> errors;
    std::vector<RuleFile> files;
    std::error_code failed;
    std::vector<std::filesystem::path> paths;
    for (std::filesystem::directory_iterator it(folder_, failed), end; !failed && it != end;
         it.increment(failed)) {
        const std::string extension = it->path().extension().string();
        if ((extension == ".yar" || extension == ".yara") && it->is_regular_file(failed))
            paths.push_back(it->path());
    }
    if (failed) {
        log.push_back("YARA rules: cannot read the folder " + folder_ + ": " + failed.message());
        return false;
    }
    std::sort(paths.begin(), paths.end());
    if (!yara_ready()) {
        log.push_back("YARA rules: libyara could not be initialised");
        return false;
    }
    for (const std::filesystem::path& path : paths) {
        RuleFile file{path.filename().string(), {}};
        std::error_code size_failed;
        const std::uintmax_t size = std::filesystem::file_size(path, size_failed);
        std::ifstream in(path, std::ios::binary);
        if (size_failed || size > kRuleFileMax || !in) {
            errors.push_back({file.name, size > kRuleFileMax ? "larger than 64 MiB" : "cannot be read"});
            continue;
        }
        file.text.assign(std::istreambuf_iterator<char>(in), {});
        std::string message;
        Compiler alone = new_compiler(&message);
        if (!alone || yr_compiler_add_string(alone.get(), file.text.c_str(), file.name.c_str()) != 0
            || file.text.find('\0') != std::string::npos) {
            errors.push_back({file.name, message.empty() ? "does not compile" : message});
            continue;
        }
        files.push_back(std::move(file));
    }
    for (const RuleFileError& error : errors)
        log.push_back("YARA rules: " + error.file + " left out: " + error.message);

    auto compiled = std::make_shared<CompiledRules>();
    std::string message;
    Compiler together = files.empty() ? nullptr : new_compiler(&message);
    bool good = together != nullptr;
    for (std::size_t i = 0; good && i < files.size(); ++i)
        good = yr_compiler_add_string(together.get(), files[i].text.c_str(), files[i].name.c_str()) == 0;
    good = good && yr_compiler_get_rules(together.get(), &compiled->rules) == ERROR_SUCCESS;

    // The identity: the files' names and texts, in name order, each ended by
    // a NUL, which neither holds.
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    std::array<unsigned char, 32> sum{};
    good = good && digest && EVP_DigestInit_ex(digest, EVP_sha256(), nullptr) == 1;
    for (const RuleFile& file : files)
        good = good && EVP_DigestUpdate(digest, file.name.c_str(), file.name.size() + 1) == 1
                    && EVP_DigestUpdate(digest, file.text.c_str(), file.text.size() + 1) == 1;
    good = good && EVP_DigestFinal_ex(digest, sum.data(), nullptr) == 1;
    EVP_MD_CTX_free(digest);

    const std::lock_guard lock(mutex_);
    errors_ = std::move(errors);
    if (!good) {
        log.push_back(std::string("YARA rules: nothing in ") + folder_ + " compiled"
                      + (current_ ? "; the rules loaded before stay in force" : "; no rules in force")
                      + (message.empty() ? "" : " (" + message + ")"));
        return false;
    }
    compiled->identity = to_hex(sum);
    compiled->files = files.size();
    log.push_back("YARA rules: " + std::to_string(files.size()) + " files of " + folder_
                  + " compiled, rule set " + compiled->identity.substr(0, 16));
    current_ = std::move(compiled);
    return true;
}

std::shared_ptr<const CompiledRules> YaraRules::current() const
{
    const std::lock_guard lock(mutex_);
    return current_;
}

std::vector<RuleFileError> YaraRules::errors() const
{
    const std::lock_guard lock(mutex_);
    return errors_;
}
