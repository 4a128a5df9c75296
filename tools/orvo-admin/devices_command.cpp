// devices: the USB devices the raw port interface finds with the identifiers of orvoconfig.json,
// and the network device when one is configured.
#include "orvo-admin/commands.h"
#include "orvo/raw_port.h"
#include "settings/settings.h"

namespace orvoadmin {

int devicesCommand(Invocation& inv) {
    std::vector<dravenholt::SettingsNote> notes;
    const dravenholt::Settings settings = dravenholt::readSettings(notes);  // orvoconfig.json, as the library reads it
    char** list = pListDevices(uint16_t(settings.vendorId), uint16_t(settings.productId));
    if (!list) throw Failure("cannot list the USB devices");
    std::vector<std::string> serials;
    for (char** entry = list; *entry; ++entry) serials.emplace_back(*entry);
    vFreeDeviceList(list);

    std::string network;
    if (!settings.address.empty()) network = settings.address + ":" + std::to_string(settings.port);
    nlohmann::json result = {{"usb", serials}, {"network", network.empty() ? nlohmann::json() : nlohmann::json(network)}};
    std::string text;
    for (const std::string& serial : serials) text += "usb " + serial + "\n";
    if (!network.empty()) text += "network " + network + "\n";
    if (text.empty()) text = "no devices found";
    emit(inv, result, text);
    return kSuccess;
}

}  // namespace orvoadmin
