#include "service/analysis/analysers.h"

std::vector<std::unique_ptr<Analyser>> make_analysers(const AnalyserSettings& settings)
{
    std::vector<std::unique_ptr<Analyser>> analysers;
    analysers.push_back(make_clamav_analyser(*settings.scanner));
    if (settings.yara)
        analysers.push_back(make_yara_analyser(*settings.yara, settings.yara_timeout));
    analysers.push_back(make_file_type_analyser());
    analysers.push_back(make_digest_analyser());
    return analysers;
}
