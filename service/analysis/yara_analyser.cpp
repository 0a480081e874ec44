// YARA, through libyara, with the rules in force when the file's analysis
// began: a reload meanwhile never changes a scan half way.
#include "service/analysis/analysers.h"

#include <yara.h>

namespace {

constexpr std::string_view kInfoTag = "info";

struct Collected {
    std::vector<RuleMatch> matches;
    bool counts = false;  // a match not tagged "info"
    std::string first;    // the first such rule
};

int on_scan(YR_SCAN_CONTEXT*, int message, void* data, void* user)
{
    if (message != CALLBACK_MSG_RULE_MATCHING)
        return CALLBACK_CONTINUE;
    const auto* rule = static_cast<const YR_RULE*>(data);
    auto* out = static_cast<Collected*>(user);
    RuleMatch match;
    match.rule = rule->identifier;
    match.rule_namespace = rule->ns && rule->ns->name ? rule->ns->name : "";
    bool info = false;
    const char* tag = nullptr;
    yr_rule_tags_foreach(rule, tag) {
        if (!match.tags.empty())
            match.tags += ' ';
        match.tags += tag;
        info = info || tag == kInfoTag;
    }
    const YR_META* meta = nullptr;
    yr_rule_metas_foreach(rule, meta) {
        if (meta->type != META_TYPE_STRING || !meta->identifier || !meta->string)
            continue;
        if (std::string_view(meta->identifier) == "description" && match.description.empty())
            match.description = meta->string;
        else if (std::string_view(meta->identifier) == "author" && match.author.empty())
            match.author = meta->string;
    }
    if (!info && !out->counts) {
        out->counts = true;
        out->first = match.rule;
    }
    out->matches.push_back(std::move(match));
    return CALLBACK_CONTINUE;
}

class YaraAnalyser final : public Analyser {
public:
    YaraAnalyser(YaraRules& rules, std::chrono::seconds timeout) : rules_(rules), timeout_(timeout) {}

    std::string_view name() const override { return "YARA"; }
    std::chrono::milliseconds timeout() const override { return timeout_; }
    bool works_apart() const override { return true; }

    ScanFault identity(std::optional<ScanRecord>& out, std::string&) override
    {
        out.reset();
        if (const std::shared_ptr<const CompiledRules> rules = rules_.current()) {
            ScanRecord now;
            now.engine = "YARA";
            now.engine_version = yara_version();
            now.signature_version = rules->identity;
            out = std::move(now);
        }
        return ScanFault::None;
    }

    std::unique_ptr<Analysis> begin(ScanFault& fault, std::string& detail) override
    {
        std::shared_ptr<const CompiledRules> rules = rules_.current();
        if (!rules) {
            fault = ScanFault::Unreachable;
            detail = "no YARA rules are in force";
            return nullptr;
        }
        const int seconds = static_cast<int>(timeout_.count());
        return std::make_unique<WholeFileAnalysis>(
            [rules, seconds](std::span<const unsigned char> bytes, const FileFacts&) {
                Findings found;
                Collected collected;
                const int status = yr_rules_scan_mem(rules->rules, bytes.data(), bytes.size(), 0,
                                                     on_scan, &collected, seconds);
                if (status == ERROR_SCAN_TIMEOUT) {
                    found.fault = ScanFault::TimedOut;
                    found.detail = "the rules took longer than " + std::to_string(seconds) + " s";
                    return found;
                }
                if (status != ERROR_SUCCESS) {
                    found.fault = ScanFault::Garbled;
                    found.detail = "libyara error " + std::to_string(status);
                    return found;
                }
                ScanRecord scan;
                scan.engine = "YARA";
                scan.engine_version = yara_version();
                scan.signature_version = rules->identity;
                scan.found = collected.counts;
                if (collected.counts)
                    scan.signature = "YARA:" + collected.first;
                scan.matches = std::move(collected.matches);
                found.scan = std::move(scan);
                return found;
            });
    }

private:
    YaraRules& rules_;
    std::chrono::seconds timeout_;
};

}  // namespace

std::unique_ptr<Analyser> make_yara_analyser(YaraRules& rules, std::chrono::seconds timeout)
{
    return std::make_unique<YaraAnalyser>(rules, timeout);
}
