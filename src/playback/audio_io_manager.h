#pragma once
// The sound-card device layer: managers that list output devices and make output filters,
// and the registry that numbers the devices of all managers as one list (ALSA's first,
// then PulseAudio's).
#include "playback/audio_output_filter.h"
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct kyAudioChannelConfig {
    uint32_t channels;
    std::string name; // "Mono", "Stereo", "Quadraphonic", "5.1 surround", "7.1 surround"
};

struct kyAudioDevice {
    std::string name;     // shown to the user
    std::string identity; // the ALSA PCM name; empty for the system default
    std::vector<uint32_t> rates;
    std::vector<kyAudioChannelConfig> configurations;
    std::vector<uint32_t> bufferSizes; // frames; empty when the device chooses
    bool exclusive = false;
};

// The name of a channel count in the device lists.
const char* kyChannelConfigName(uint32_t channels);

class kyAudioIOManagerInterface {
public:
    virtual ~kyAudioIOManagerInterface() = default;
    virtual const char* Name() const = 0; // "ALSA", "PulseAudio"
    uint32_t OutputCount() const { return static_cast<uint32_t>(m_outputs.size()); }
    const kyAudioDevice* OutputDevice(uint32_t index) const {
        return index < m_outputs.size() ? &m_outputs[index] : nullptr;
    }
    // An output filter on device `index` with configuration `configuration` (negative: 0),
    // `rate` and `bufferSize` (0: the device's choice); null with `error` when it can't be
    // made.
    virtual std::unique_ptr<kyAudioOutputFilter> CreateOutput(uint32_t index, int32_t configuration,
                                                              uint32_t rate, uint32_t bufferSize,
                                                              kyError& error) = 0;
    // Why the list is empty, when it is ("libasound.so.2 not found", "no device").
    const std::string& Problem() const { return m_problem; }

protected:
    std::vector<kyAudioDevice> m_outputs;
    std::string m_problem;
};

// The shared and exclusive device role over ALSA: "default" and every hw:C,D device.
class kyAudioIOManagerInterfaceALSA : public kyAudioIOManagerInterface {
public:
    kyAudioIOManagerInterfaceALSA();
    const char* Name() const override { return "ALSA"; }
    std::unique_ptr<kyAudioOutputFilter> CreateOutput(uint32_t index, int32_t configuration,
                                                      uint32_t rate, uint32_t bufferSize,
                                                      kyError& error) override;
    // Probes any ALSA PCM by name (one a user defined in ~/.asoundrc); false when it can't
    // be opened for playback.
    static bool Probe(const std::string& pcm, bool exclusive, kyAudioDevice& device);
};

// The system-default role over PulseAudio's simple API, which cannot list devices: one
// entry, "System default output", when the server answers.
class kyAudioIOManagerInterfacePulse : public kyAudioIOManagerInterface {
public:
    kyAudioIOManagerInterfacePulse();
    const char* Name() const override { return "PulseAudio"; }
    std::unique_ptr<kyAudioOutputFilter> CreateOutput(uint32_t index, int32_t configuration,
                                                      uint32_t rate, uint32_t bufferSize,
                                                      kyError& error) override;
};

class kyAudioDeviceRegistry {
public:
    // The process's registry; the managers look for devices on first use.
    static kyAudioDeviceRegistry& Instance();
    // Looks for devices again.
    void Rescan();

    uint32_t OutputCount() const;
    const kyAudioDevice* Output(uint32_t device) const;
    // The manager of global device `device` and the device's index there.
    bool outputDeviceFor(uint32_t device, kyAudioIOManagerInterface*& manager,
                         uint32_t& local) const;
    // The first listed rate at or above `wanted`, else the last; 0 without rates.
    uint32_t chooseRate(uint32_t device, uint32_t wanted) const;
    // The configuration with exactly `channels`, else the nearest above, else the largest
    // below; -1 without configurations.
    int32_t chooseConfiguration(uint32_t device, uint32_t channels) const;
    // A rate of 0 means 48000 when the device lists it, else its middle rate.
    std::unique_ptr<kyAudioOutputFilter> createOutput(uint32_t device, int32_t configuration,
                                                      uint32_t rate, uint32_t bufferSize,
                                                      kyError& error) const;
    // Why devices are missing, one line per manager with none.
    std::vector<std::string> Problems() const;
    const std::vector<std::unique_ptr<kyAudioIOManagerInterface>>& Managers() const {
        return m_managers;
    }

private:
    kyAudioDeviceRegistry() { Rescan(); }
    std::vector<std::unique_ptr<kyAudioIOManagerInterface>> m_managers;
};

// Makes an output filter for a stream of `rate` and `channels` on `device`: a number of the
// registry's list, a device name from it, "alsa:PCM" for any ALSA PCM, or empty for the
// first device. Null with `error` when there is none or it can't be opened.
std::unique_ptr<kyAudioOutputFilter> kyOpenAudioOutput(const std::string& device, uint32_t rate,
                                                       uint32_t channels, kyError& error);
