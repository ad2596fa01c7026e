// play and devices: listening to a track or a file through the sound card.
#include "app/playback_controller.h"
#include "app/settings_table.h"
#include "cd/dsk_reader.h"
#include "cli/cli_commands.h"
#include "cli/cli_drive.h"
#include "cli/json_writer.h"
#include "cli/terminal_frontend.h"
#include "core/manager.h"
#include "formats/format_catalog.h"
#include "formats/reader_filter.h"
#include "playback/audio_io_manager.h"
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
// "83", "83.5", "1:23", "1:02:03.5" -> seconds.
bool parseTime(const std::string& text, double& seconds) {
    seconds = 0;
    size_t pos = 0;
    int parts = 0;
    while (pos <= text.size()) {
        size_t colon = text.find(':', pos);
        const bool last = colon == std::string::npos;
        if (last) colon = text.size();
        double value = 0;
        const char* b = text.data() + pos;
        const char* e = text.data() + colon;
        if (b == e) return false;
        auto [end, ec] = std::from_chars(b, e, value, std::chars_format::fixed);
        if (ec != std::errc() || end != e || value < 0) return false;
        if (!last && value != std::floor(value)) return false;
        if (parts > 0 && value >= 60) return false;
        seconds = seconds * 60 + value;
        if (++parts > 3) return false;
        if (last) break;
        pos = colon + 1;
    }
    return parts > 0;
}

// The terminal in raw mode while playing, so that single keys arrive.
class RawTerminal {
public:
    RawTerminal() {
        m_active = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &m_old) == 0;
        if (!m_active) return;
        termios raw = m_old;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    ~RawTerminal() {
        if (m_active) tcsetattr(STDIN_FILENO, TCSANOW, &m_old);
    }
    bool active() const { return m_active; }

private:
    bool m_active = false;
    termios m_old{};
};

std::string meterBar(float level, uint32_t width) {
    const uint32_t lit = kyMeterLitSegments(width, level, true);
    return std::string(lit, '#') + std::string(width - lit, '-');
}

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

int commandDevices(const CliArguments& args) {
    if (!args.positional.empty()) return usageError("'devices' takes no file names");
    const kyAudioDeviceRegistry& registry = kyAudioDeviceRegistry::Instance();
    if (args.has("json")) {
        JsonWriter json;
        json.beginObject().key("devices").beginArray();
        uint32_t n = 0;
        for (const auto& manager : registry.Managers())
            for (uint32_t i = 0; i < manager->OutputCount(); ++i, ++n) {
                const kyAudioDevice* d = manager->OutputDevice(i);
                json.beginObject().key("number").value(n).key("name").value(d->name);
                json.key("interface").value(manager->Name()).key("identity").value(d->identity);
                json.key("exclusive").value(d->exclusive).key("rates").beginArray();
                for (uint32_t r : d->rates) json.value(r);
                json.endArray().key("channels").beginArray();
                for (const auto& c : d->configurations) json.value(c.channels);
                json.endArray().key("buffer_sizes").beginArray();
                for (uint32_t b : d->bufferSizes) json.value(b);
                json.endArray().endObject();
            }
        json.endArray().key("problems").beginArray();
        for (const auto& p : registry.Problems()) json.value(p);
        json.endArray().endObject();
        std::printf("%s\n", json.str().c_str());
        return kExitOk;
    }
    if (registry.OutputCount() == 0) std::printf("No sound output device found.\n");
    uint32_t n = 0;
    for (const auto& manager : registry.Managers())
        for (uint32_t i = 0; i < manager->OutputCount(); ++i, ++n) {
            const kyAudioDevice* d = manager->OutputDevice(i);
            std::string channels;
            for (const auto& c : d->configurations)
                channels += (channels.empty() ? "" : ", ") + c.name;
            std::printf("%3u  %s (%s%s%s; %s; %u to %u Hz)\n", n, d->name.c_str(), manager->Name(),
                        d->identity.empty() ? "" : " ", d->identity.c_str(), channels.c_str(),
                        d->rates.empty() ? 0 : d->rates.front(),
                        d->rates.empty() ? 0 : d->rates.back());
        }
    for (const auto& p : registry.Problems()) std::printf("     (%s)\n", p.c_str());
    return kExitOk;
}

int commandPlay(const CliArguments& args) {
    if (args.positional.size() > 1) return usageError("'play' takes one file");
    double start = 0;
    if (auto t = args.get("start"); t && !parseTime(*t, start))
        return usageError("--start takes seconds, M:SS or H:MM:SS, not '" + *t + "'");
    long long track = 1;
    if (auto t = args.get("track"); t && !kyParseInteger(*t, 1, 99, track))
        return usageError("--track takes a track number, not '" + *t + "'");
    const bool hasDrive = args.has("drive") || args.has("image") || args.has("demo");
    if (!args.positional.empty() && hasDrive) return usageError("play a file or a disc, not both");

    // The source: a file reader we own, or the disc's CD source (owned by `disc`).
    CliDisc disc;
    kyReaderFilter* reader = nullptr;
    kySourceFilter* source = nullptr;
    std::string what;
    if (!args.positional.empty()) {
        what = args.positional[0];
        kyError e = kyManager::Instance().OpenReader(reader, what.c_str(), -2, 0);
        if (kyFailed(e) || !reader) {
            if (reader) reader->DestroyChain();
            return failure(what + ": " + kyErrorText(kyFailed(e) ? e : KYERR_UNKNOWN));
        }
        source = reader;
    } else {
        std::string error;
        bool usage;
        if (!openCliDisc(args, 0, true, disc, error, usage))
            return usage ? usageError(error) : failure(error);
        const kyDiscToc& toc = disc.reader->Toc();
        if (track < toc.firstTrack || track > toc.lastTrack ||
            !disc.reader->SetTrackRange(uint32_t(track), uint32_t(track)))
            return failure("the disc has no track " + std::to_string(track));
        source = disc.reader.get();
        what = "track " + std::to_string(track);
    }

    std::atomic<bool> ended{false};
    std::atomic<kyError> result{KY_OK};
    kyError e;
    std::string message;
    bool completed = false;
    double startedAt = start;
    {
        kyPlaybackController player(source);
        e = player.Open(args.get("device").value_or(""), start, [&](kyError r) {
            result = r;
            ended = true;
        });
        if (player.Output()) player.Output()->SetRealtime(!args.last("realtime") || !args.last("realtime")->opposite);
        if (kyFailed(e)) {
            message = kyErrorText(e);
        } else {
            InterruptGuard interrupts;
            RawTerminal terminal;
            const bool show = isatty(STDERR_FILENO);
            if (show)
                std::fprintf(stderr, "Playing %s on %s\n", what.c_str(),
                             player.Output()->Description().c_str());
            bool quit = false;
            while (!quit && !ended && !TerminalFrontend::interrupted) {
                pollfd in{STDIN_FILENO, POLLIN, 0};
                if (terminal.active() && poll(&in, 1, 100) > 0) {
                    char keys[16];
                    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
                    for (ssize_t i = 0; i < n; ++i) {
                        if (keys[i] == 'q' || keys[i] == 'Q') quit = true;
                        if (keys[i] == ' ') player.PlayPause();
                        if (keys[i] == '\x1b' && i + 2 < n && keys[i + 1] == '[') {
                            if (keys[i + 2] == 'C') player.SeekBy(5);
                            if (keys[i + 2] == 'D') player.SeekBy(-5);
                            i += 2;
                        }
                    }
                } else if (!terminal.active()) {
                    poll(nullptr, 0, 100);
                }
                const auto view = player.Tick(nowMs());
                if (show) {
                    std::string line = "\r" + kyPlaybackTimeText(view.positionSeconds) + " / " +
                                       kyPlaybackTimeText(view.lengthSeconds) +
                                       (view.active ? "  " : "  (paused)  ");
                    const kygfVUMeterFilter* meter = player.Meter();
                    for (uint32_t c = 0; c < std::min<uint32_t>(meter->Channels(), 2); ++c)
                        line +=
                            (c ? " R " : "L ") + meterBar(view.active ? meter->Position(c) : 0, 20);
                    std::fprintf(stderr, "%s\x1b[K", line.c_str());
                }
            }
            if (show) std::fputc('\n', stderr);
            player.Output()->Stop(true);
            completed = ended && kySucceeded(result.load());
            if (ended && kyFailed(result.load())) {
                e = result;
                message = player.EndOfPlayback(e);
            }
            startedAt = player.PositionSeconds();
        }
        // The controller goes first: it disconnects the borrowed source.
    }
    if (reader) reader->DestroyChain();
    if (args.has("json")) {
        JsonWriter json;
        json.beginObject().key("source").value(what).key("completed").value(completed);
        json.key("position_seconds").value(startedAt);
        json.key("error");
        if (message.empty())
            json.null();
        else
            json.value(message);
        json.endObject();
        std::printf("%s\n", json.str().c_str());
    }
    if (!message.empty()) return failure("couldn't play " + what + ": " + message);
    if (TerminalFrontend::interrupted) return kExitCancelled;
    return kExitOk;
}
