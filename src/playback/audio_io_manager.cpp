#include "playback/audio_io_manager.h"
#include "platform/alsa_library.h"
#include "platform/pulse_library.h"
#include "playback/audio_output_filter_alsa.h"
#include "playback/audio_output_filter_pulse.h"
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {
constexpr uint32_t kProbeRates[] = {8000,  11025, 12000, 16000, 22050,  24000, 32000,
                                    44100, 48000, 88200, 96000, 176400, 192000};
constexpr uint32_t kProbeChannels[] = {1, 2, 4, 6, 8};
constexpr uint32_t kExclusiveBuffers[] = {128, 144, 160, 192, 224, 256, 384, 512, 640, 768, 1024};
constexpr uint32_t kPulseRates[] = {8000,  11025, 22050, 32000,  44100,
                                    48000, 88200, 96000, 176400, 192000};
constexpr uint32_t kPulseBuffers[] = {2048, 4096, 6144, 8192, 10240, 12288, 14336, 16384};

std::string hint(const kyAlsaLibrary* lib, const void* h, const char* id) {
    char* v = lib->nameGetHint(h, id);
    std::string s = v ? v : "";
    std::free(v);
    return s;
}
} // namespace

const char* kyChannelConfigName(uint32_t channels) {
    switch (channels) {
    case 1:
        return "Mono";
    case 2:
        return "Stereo";
    case 4:
        return "Quadraphonic";
    case 6:
        return "5.1 surround";
    case 8:
        return "7.1 surround";
    default:
        return "Other";
    }
}

bool kyAudioIOManagerInterfaceALSA::Probe(const std::string& pcmName, bool exclusive,
                                          kyAudioDevice& device) {
    const kyAlsaLibrary* lib = kyAlsaLibrary::Get();
    if (!lib) return false;
    kyAlsaPcm* pcm = nullptr;
    if (lib->open(&pcm, pcmName.c_str(), kyAlsaLibrary::kStreamPlayback, kyAlsaLibrary::kNonBlock) <
        0)
        return false;
    kyAlsaHwParams* params = nullptr;
    if (lib->hwParamsMalloc(&params) == 0 && lib->hwParamsAny(pcm, params) >= 0) {
        for (uint32_t ch : kProbeChannels)
            if (lib->hwParamsTestChannels(pcm, params, ch) == 0)
                device.configurations.push_back({ch, kyChannelConfigName(ch)});
        for (uint32_t rate : kProbeRates)
            if (lib->hwParamsTestRate(pcm, params, rate, 0) == 0) device.rates.push_back(rate);
    }
    if (params) lib->hwParamsFree(params);
    lib->close(pcm);
    device.identity = pcmName;
    device.exclusive = exclusive;
    if (exclusive)
        device.bufferSizes.assign(std::begin(kExclusiveBuffers), std::end(kExclusiveBuffers));
    return !device.rates.empty() && !device.configurations.empty();
}

kyAudioIOManagerInterfaceALSA::kyAudioIOManagerInterfaceALSA() {
    const kyAlsaLibrary* lib = kyAlsaLibrary::Get();
    if (!lib) {
        m_problem = kyAlsaLibrary::Missing();
        return;
    }
    kyAudioDevice shared;
    shared.name = "System default [SHARED]";
    if (Probe("default", false, shared)) m_outputs.push_back(std::move(shared));
    void** hints = nullptr;
    if (lib->nameHint(-1, "pcm", &hints) == 0 && hints) {
        for (void** h = hints; *h; ++h) {
            const std::string name = hint(lib, *h, "NAME");
            const std::string io = hint(lib, *h, "IOID");
            if (name.rfind("hw:", 0) != 0 || (!io.empty() && io != "Output")) continue;
            std::string desc = hint(lib, *h, "DESC");
            std::replace(desc.begin(), desc.end(), '\n', ' ');
            kyAudioDevice device;
            device.name = (desc.empty() ? name : desc) + " [EXCLUSIVE]";
            if (Probe(name, true, device)) m_outputs.push_back(std::move(device));
        }
        lib->nameFreeHint(hints);
    }
    if (m_outputs.empty()) m_problem = "ALSA: no playback device";
}

std::unique_ptr<kyAudioOutputFilter>
kyAudioIOManagerInterfaceALSA::CreateOutput(uint32_t index, int32_t configuration, uint32_t rate,
                                            uint32_t bufferSize, kyError& error) {
    const kyAudioDevice* device = OutputDevice(index);
    if (!device || device->configurations.empty()) {
        error = KYERR_INVALID_PARAMETER;
        return nullptr;
    }
    const size_t config =
        std::min<size_t>(std::max(configuration, 0), device->configurations.size() - 1);
    return kyAudioOutputFilterALSA::Open(device->identity, rate,
                                         device->configurations[config].channels, bufferSize,
                                         device->exclusive, error);
}

kyAudioIOManagerInterfacePulse::kyAudioIOManagerInterfacePulse() {
    if (!kyPulseLibrary::Get()) {
        m_problem = kyPulseLibrary::Missing();
        return;
    }
    // The simple API connects per stream: a short stream that connects tells whether a
    // server answers.
    kyError e = KY_OK;
    if (!kyAudioOutputFilterPulse::Open(44100, 2, 0, e)) {
        m_problem = kyErrorReason(e);
        if (m_problem.empty()) m_problem = "PulseAudio: no server";
        return;
    }
    kyAudioDevice device;
    device.name = "System default output";
    device.rates.assign(std::begin(kPulseRates), std::end(kPulseRates));
    device.configurations = {{1, "Mono"}, {2, "Stereo"}};
    device.bufferSizes.assign(std::begin(kPulseBuffers), std::end(kPulseBuffers));
    m_outputs.push_back(std::move(device));
}

std::unique_ptr<kyAudioOutputFilter>
kyAudioIOManagerInterfacePulse::CreateOutput(uint32_t index, int32_t configuration, uint32_t rate,
                                             uint32_t bufferSize, kyError& error) {
    const kyAudioDevice* device = OutputDevice(index);
    if (!device) {
        error = KYERR_INVALID_PARAMETER;
        return nullptr;
    }
    const size_t config =
        std::min<size_t>(std::max(configuration, 0), device->configurations.size() - 1);
    return kyAudioOutputFilterPulse::Open(rate, device->configurations[config].channels, bufferSize,
                                          error);
}

kyAudioDeviceRegistry& kyAudioDeviceRegistry::Instance() {
    static kyAudioDeviceRegistry registry;
    return registry;
}

void kyAudioDeviceRegistry::Rescan() {
    m_managers.clear();
    m_managers.push_back(std::make_unique<kyAudioIOManagerInterfaceALSA>());
    m_managers.push_back(std::make_unique<kyAudioIOManagerInterfacePulse>());
}

uint32_t kyAudioDeviceRegistry::OutputCount() const {
    uint32_t n = 0;
    for (const auto& m : m_managers) n += m->OutputCount();
    return n;
}

bool kyAudioDeviceRegistry::outputDeviceFor(uint32_t device, kyAudioIOManagerInterface*& manager,
                                            uint32_t& local) const {
    for (const auto& m : m_managers) {
        if (device < m->OutputCount()) {
            manager = m.get();
            local = device;
            return true;
        }
        device -= m->OutputCount();
    }
    return false;
}

const kyAudioDevice* kyAudioDeviceRegistry::Output(uint32_t device) const {
    kyAudioIOManagerInterface* m;
    uint32_t local;
    return outputDeviceFor(device, m, local) ? m->OutputDevice(local) : nullptr;
}

uint32_t kyAudioDeviceRegistry::chooseRate(uint32_t device, uint32_t wanted) const {
    const kyAudioDevice* d = Output(device);
    if (!d || d->rates.empty()) return 0;
    for (uint32_t r : d->rates)
        if (r >= wanted) return r;
    return d->rates.back();
}

int32_t kyAudioDeviceRegistry::chooseConfiguration(uint32_t device, uint32_t channels) const {
    const kyAudioDevice* d = Output(device);
    if (!d || d->configurations.empty()) return -1;
    int32_t above = -1, below = -1;
    for (size_t i = 0; i < d->configurations.size(); ++i) {
        const uint32_t c = d->configurations[i].channels;
        if (c == channels) return int32_t(i);
        if (c > channels && (above < 0 || c < d->configurations[above].channels))
            above = int32_t(i);
        if (c < channels && (below < 0 || c > d->configurations[below].channels))
            below = int32_t(i);
    }
    return above >= 0 ? above : below;
}

std::unique_ptr<kyAudioOutputFilter>
kyAudioDeviceRegistry::createOutput(uint32_t device, int32_t configuration, uint32_t rate,
                                    uint32_t bufferSize, kyError& error) const {
    kyAudioIOManagerInterface* m;
    uint32_t local;
    if (!outputDeviceFor(device, m, local)) {
        error = KYERR_INVALID_PARAMETER;
        return nullptr;
    }
    const kyAudioDevice* d = m->OutputDevice(local);
    if (rate == 0 && !d->rates.empty()) {
        rate = std::count(d->rates.begin(), d->rates.end(), 48000u) ? 48000
                                                                    : d->rates[d->rates.size() / 2];
    }
    return m->CreateOutput(local, std::max(configuration, 0), rate, bufferSize, error);
}

std::vector<std::string> kyAudioDeviceRegistry::Problems() const {
    std::vector<std::string> out;
    for (const auto& m : m_managers)
        if (m->OutputCount() == 0 && !m->Problem().empty()) out.push_back(m->Problem());
    return out;
}

std::unique_ptr<kyAudioOutputFilter> kyOpenAudioOutput(const std::string& name, uint32_t rate,
                                                       uint32_t channels, kyError& error) {
    if (name.rfind("alsa:", 0) == 0) {
        // Any PCM, with the rate and channels the stream has (ALSA converts what it must).
        kyAudioDevice probe;
        const std::string pcm = name.substr(5);
        const bool known = kyAudioIOManagerInterfaceALSA::Probe(pcm, false, probe);
        uint32_t ch = channels;
        if (known && !std::any_of(probe.configurations.begin(), probe.configurations.end(),
                                  [&](const auto& c) { return c.channels == channels; }))
            ch = probe.configurations.back().channels;
        return kyAudioOutputFilterALSA::Open(pcm, rate, ch, 0, false, error);
    }
    const kyAudioDeviceRegistry& registry = kyAudioDeviceRegistry::Instance();
    uint32_t device = 0;
    if (!name.empty()) {
        uint32_t number = 0;
        const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
        if (ec == std::errc() && end == name.data() + name.size()) {
            device = number;
        } else {
            device = registry.OutputCount();
            for (uint32_t i = 0; i < registry.OutputCount(); ++i)
                if (strcasecmp(registry.Output(i)->name.c_str(), name.c_str()) == 0) device = i;
        }
    }
    if (device >= registry.OutputCount()) {
        error = KYERR_OPEN_FILE;
        kySetErrorReason(error, name.empty() ? "no sound output device"
                                             : "no sound output device '" + name + "'");
        return nullptr;
    }
    return registry.createOutput(device, registry.chooseConfiguration(device, channels),
                                 registry.chooseRate(device, rate), 0, error);
}
