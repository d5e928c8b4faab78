// An instance made from an FMU's resources folder.
#include "resources.hpp"

#include <fstream>
#include <sstream>

namespace zarel::fmu {
namespace {

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return static_cast<bool>(in) || in.eof();
}

}  // namespace

Result<std::unique_ptr<Instance>> load_resources(const std::string& folder, const char* token, const char* token_name,
                                                 Interface interface) {
    std::string document, settings_text;
    if (!read_file(folder + "model.json", document)) return invalid("cannot read " + folder + "model.json");
    if (!read_file(folder + "zarel_fmu.json", settings_text))
        return invalid("cannot read " + folder + "zarel_fmu.json");
    auto settings = Settings::from_text(settings_text);
    if (!settings) return fail(std::move(settings.error()));
    if (!token || settings->guid != token)
        return invalid(std::string("the ") + token_name + " " + (token ? token : "(null)") + " is not this FMU's " +
                       settings->guid);
    const bool me = interface == Interface::ModelExchange;
    if (me ? !settings->model_exchange : !settings->co_simulation)
        return invalid(me ? "this FMU was exported without Model Exchange"
                          : "this FMU was exported without Co-Simulation");
    return Instance::load(document, *settings);
}

}  // namespace zarel::fmu
