// An instance made from an FMU's resources folder, and its return to the start values.
#include "resources.hpp"

#include <algorithm>
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

Result<std::unique_ptr<Instance>> load_resources(const std::string& folder, const char* token, Interface interface) {
    std::string document, settings_text;
    if (!read_file(folder + "model.json", document)) return invalid("cannot read " + folder + "model.json");
    if (!read_file(folder + "zarel_fmu.json", settings_text))
        return invalid("cannot read " + folder + "zarel_fmu.json");
    auto settings = Settings::from_text(settings_text);
    if (!settings) return fail(std::move(settings.error()));
    if (!token || settings->guid != token)
        return invalid(std::string("the instantiation token ") + (token ? token : "(null)") + " is not this FMU's " +
                       settings->guid);
    const bool me = interface == Interface::ModelExchange;
    if (me ? !settings->model_exchange : !settings->co_simulation)
        return invalid(me ? "this FMU was exported without Model Exchange"
                          : "this FMU was exported without Co-Simulation");
    return Instance::load(document, *settings);
}

void reset_values(Instance& inst) {
    std::copy(inst.settings.x0.begin(), inst.settings.x0.end(), inst.x.begin());
    std::fill(inst.u.begin(), inst.u.end(), 0.0);
    inst.params = inst.model.params;
    inst.settings.options.rtol = inst.settings.exported_rtol;
    inst.t = 0.0;
    inst.changed();
}

}  // namespace zarel::fmu
