// `kavri-cli param get|set|names`: the camera's parameters by name or id.
#include <cstdio>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/params.h"

namespace kavri::cli {

int run_param_get(const GlobalOptions &g, const ParamOptions &o) {
    std::vector<ParamSpec> specs;
    for (const std::string &n : o.names) specs.push_back(find_param(n));
    Library lib(g);
    OpenCamera cam(g);
    std::vector<kavri_param_item_t> items(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) items[i].param_id = specs[i].id;
    if (kavri_param_batch_get(cam.dev(), items.data(), static_cast<int>(items.size())) != 1)
        throw CliError(kExitFailure, "the camera refused the parameter read",
                       "check the ids with `kavri-cli param names`; the log (" + lib.log_path() +
                           ") holds the camera's reply");
    for (size_t i = 0; i < specs.size(); ++i)
        std::printf("%u %s = %s\n", specs[i].id, *specs[i].name ? specs[i].name : "-",
                    format_param(specs[i], items[i]).c_str());
    return kExitOk;
}

int run_param_set(const GlobalOptions &g, const ParamOptions &o) {
    const ParamSpec spec = find_param(o.name);
    kavri_param_item_t item{};
    encode_param(spec, o.value, item);
    Library lib(g);
    OpenCamera cam(g);
    if (kavri_param_batch_set(cam.dev(), &item, 1) != 1)
        throw CliError(kExitFailure,
                       "the camera refused " + std::string(*spec.name ? spec.name : "parameter") +
                           " = " + o.value,
                       "the value may be out of range or the parameter read-only; the log (" +
                           lib.log_path() + ") holds the camera's reason");
    kavri_param_item_t check = get_param(cam.dev(), spec.id);
    std::printf("%u %s = %s\n", spec.id, *spec.name ? spec.name : "-",
                format_param(spec, check).c_str());
    return kExitOk;
}

int run_param_names() {
    for (const ParamSpec &p : param_table()) std::printf("%3u %-11s %s\n", p.id, p.name, p.meaning);
    return kExitOk;
}

}  // namespace kavri::cli
