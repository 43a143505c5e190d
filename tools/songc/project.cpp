#include "project.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>

#include "builtin_bank.h"
#include "parameter_names.h"
#include "player/song_format.h"
#include "synth/patch.h"

namespace zimblo::songc {

namespace {

constexpr int64_t kMaxByte = 255;
constexpr int64_t kMaxRouteAmount = 127;
constexpr int kMaxIncludeDepth = 16;
constexpr size_t kMaxRoutes = 255;
constexpr double kMicrosecondsPerMinute = 60000000.0;

class ProjectReader {
public:
    ProjectReader(const std::string& displayName, const std::filesystem::path& directory, int includeDepth = 0,
                  std::vector<std::filesystem::path> includeChain = {})
        : includeDepth_(includeDepth), includeChain_(std::move(includeChain)) {
        project_.displayName = displayName;
        project_.directory = directory;
    }

    Project read(const std::string& text) {
        toml::table root;
        try {
            root = toml::parse(text, project_.displayName);
        } catch (const toml::parse_error& e) {
            throw InputError(place(e.source()), std::string(e.description()));
        }
        checkKeys(root, {"include", "song", "tempo", "effects", "patch", "midi"}, "the project");
        readIncludes(root);
        readSong(root);
        readTempo(root);
        readEffects(root);
        readPatches(root);
        readMidi(root);
        return std::move(project_);
    }

private:
    // ---- places and checks ----

    SourcePlace place(const toml::source_region& region) const {
        return SourcePlace{project_.displayName, static_cast<int>(region.begin.line), static_cast<int>(region.begin.column)};
    }
    SourcePlace place(const toml::node& node) const { return place(node.source()); }

    void checkKeys(const toml::table& table, std::initializer_list<std::string_view> allowed, const std::string& where) const {
        for (auto&& [key, node] : table) {
            if (std::find(allowed.begin(), allowed.end(), key.str()) != allowed.end()) continue;
            std::string list;
            for (std::string_view a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
            throw InputError(place(key.source()), "unknown key '" + std::string(key.str()) + "' in " + where +
                                                     " (known: " + list + ")");
        }
    }

    const toml::table& tableOf(const toml::node& node, const std::string& what) const {
        if (!node.is_table()) throw InputError(place(node), what + " must be a table");
        return *node.as_table();
    }

    int64_t integerOf(const toml::node& node, int64_t low, int64_t high, const std::string& what) const {
        if (!node.is_integer()) throw InputError(place(node), what + " must be a whole number");
        const int64_t value = node.as_integer()->get();
        if (value < low || value > high)
            throw InputError(place(node), what + " " + std::to_string(value) + " is out of range " +
                                              std::to_string(low) + ".." + std::to_string(high));
        return value;
    }

    std::string stringOf(const toml::node& node, const std::string& what) const {
        if (!node.is_string()) throw InputError(place(node), what + " must be a string");
        return node.as_string()->get();
    }

    bool boolOf(const toml::node& node, const std::string& what) const {
        if (!node.is_boolean()) throw InputError(place(node), what + " must be true or false");
        return node.as_boolean()->get();
    }

    // A parameter byte: a number 0..255, a choice name, or true/false for a switch.
    uint8_t byteOf(const toml::node& node, const ParameterInfo& info, const std::string& what) const {
        if (node.is_integer()) return static_cast<uint8_t>(integerOf(node, 0, kMaxByte, what));
        if (node.is_boolean()) {
            if (info.kind != ValueKind::Switch)
                throw InputError(place(node), what + " takes a number 0..255" +
                                                  (info.kind == ValueKind::Choice ? " or one of " + choiceList(info) : std::string()) +
                                                  ", not true/false");
            return node.as_boolean()->get() ? 1 : 0;
        }
        if (node.is_string()) {
            const std::string name = node.as_string()->get();
            if (info.kind != ValueKind::Choice)
                throw InputError(place(node), what + " takes a number 0..255" +
                                                  (info.kind == ValueKind::Switch ? " or true/false" : std::string()) +
                                                  ", not \"" + name + "\"");
            if (const std::optional<uint8_t> value = choiceValue(info, name)) return *value;
            throw InputError(place(node), "unknown value \"" + name + "\" for " + what + " (" + choiceList(info) + ")");
        }
        throw InputError(place(node), what + " takes a number 0..255");
    }

    BarPosition positionOf(const toml::node& node, const std::string& what) const {
        BarPosition p;
        p.place = place(node);
        if (node.is_integer()) {
            p.bar = static_cast<uint64_t>(integerOf(node, 1, 1000000, what + " bar"));
            return p;
        }
        if (!node.is_string()) throw InputError(p.place, what + " must be a bar number or \"BAR:BEAT\"");
        const std::string text = node.as_string()->get();
        const size_t colon = text.find(':');
        auto number = [&](const std::string& part, uint64_t high) -> uint64_t {
            if (part.empty() || !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
                part.size() > 7)
                throw InputError(p.place, what + " \"" + text + "\" is not BAR or BAR:BEAT");
            const uint64_t v = std::stoull(part);
            if (v < 1 || v > high) throw InputError(p.place, what + " \"" + text + "\": bars and beats count from 1");
            return v;
        };
        p.bar = number(text.substr(0, colon), 1000000);
        if (colon != std::string::npos) p.beat = number(text.substr(colon + 1), 255);
        return p;
    }

    // ---- [song] ----

    void readSong(const toml::table& root) {
        const toml::node* node = root.get("song");
        if (node == nullptr) return;
        const toml::table& song = tableOf(*node, "[song]");
        checkKeys(song, {"title", "ticks_per_quarter", "scores", "texts"}, "[song]");
        if (const toml::node* t = song.get("title")) project_.title = stringOf(*t, "title");
        if (const toml::node* t = song.get("ticks_per_quarter"))
            project_.ticksPerQuarter = static_cast<uint32_t>(integerOf(*t, 1, kMaxTicksPerQuarterSetting, "ticks_per_quarter"));
        if (const toml::node* s = song.get("scores")) {
            if (!s->is_array()) throw InputError(place(*s), "scores must be an array of file names");
            for (const toml::node& entry : *s->as_array()) {
                ScoreReference ref;
                ref.displayName = stringOf(entry, "a score file name");
                ref.path = project_.directory / ref.displayName;
                ref.place = place(entry);
                project_.scores.push_back(std::move(ref));
            }
        }
        if (const toml::node* t = song.get("texts")) {
            if (!t->is_array()) throw InputError(place(*t), "texts must be an array of strings");
            project_.textsPlace = place(*t);
            size_t blockBytes = 4;
            for (const toml::node& entry : *t->as_array()) {
                std::string text = stringOf(entry, "a text");
                if (text.find('\0') != std::string::npos) throw InputError(place(entry), "a text may not contain a NUL character");
                blockBytes += 4 + text.size() + 1;
                project_.texts.push_back(std::move(text));
            }
            if (project_.texts.size() > player::kTextTableSize)
                throw InputError(project_.textsPlace, std::to_string(project_.texts.size()) + " texts: a song holds at most 256");
            if (!project_.texts.empty() && blockBytes > player::kMaxTextBlockBytes)
                throw InputError(project_.textsPlace, "the texts make a text block of " + std::to_string(blockBytes) +
                                                          " bytes; it must stay below 8192");
        }
    }

    // ---- [[tempo]] ----

    void readTempo(const toml::table& root) {
        const toml::node* node = root.get("tempo");
        if (node == nullptr) return;
        if (!node->is_array_of_tables()) throw InputError(place(*node), "tempo entries are written as [[tempo]] tables");
        uint8_t numerator = 4;
        uint8_t denominator = 4;
        for (const toml::node& entryNode : *node->as_array()) {
            const toml::table& t = *entryNode.as_table();
            checkKeys(t, {"at", "tick", "microseconds_per_quarter", "bpm", "numerator", "denominator", "third_byte"}, "[[tempo]]");
            TempoEntry e;
            e.place = place(entryNode);
            const toml::node* at = t.get("at");
            const toml::node* tick = t.get("tick");
            if (at && tick) throw InputError(place(*tick), "give 'at' or 'tick', not both");
            if (tick) {
                e.tick = static_cast<uint64_t>(integerOf(*tick, 0, 0xFFFFFFFEll, "tick"));
            } else if (at) {
                const BarPosition p = positionOf(*at, "at");
                e.tick = MeterMap(project_.ticksPerQuarter, project_.tempo).tickOf(p.bar, p.beat, p.place);
            } else if (!project_.tempo.empty()) {
                throw InputError(e.place, "a tempo entry after the first needs 'at' or 'tick'");
            }
            const toml::node* micro = t.get("microseconds_per_quarter");
            const toml::node* bpm = t.get("bpm");
            if (micro && bpm) throw InputError(place(*bpm), "give 'bpm' or 'microseconds_per_quarter', not both");
            if (micro) {
                e.microsecondsPerQuarter = static_cast<uint32_t>(integerOf(*micro, 1, kMaxMicrosecondsPerQuarter, "microseconds_per_quarter"));
            } else if (bpm) {
                double value = 0;
                if (bpm->is_floating_point()) value = bpm->as_floating_point()->get();
                else if (bpm->is_integer()) value = static_cast<double>(bpm->as_integer()->get());
                else throw InputError(place(*bpm), "bpm must be a number");
                const double micros = value > 0 ? std::round(kMicrosecondsPerMinute / value) : 0;
                if (!(micros >= 1 && micros <= kMaxMicrosecondsPerQuarter))
                    throw InputError(place(*bpm), "bpm must lie between 13.47 and 60000000");
                e.microsecondsPerQuarter = static_cast<uint32_t>(micros);
            }
            if (const toml::node* n = t.get("numerator")) numerator = static_cast<uint8_t>(integerOf(*n, 1, 255, "numerator"));
            if (const toml::node* d = t.get("denominator")) denominator = static_cast<uint8_t>(integerOf(*d, 1, 255, "denominator"));
            if (const toml::node* b = t.get("third_byte")) e.thirdByte = static_cast<uint8_t>(integerOf(*b, 0, 255, "third_byte"));
            e.numerator = numerator;
            e.denominator = denominator;
            if (barTicksOf(project_.ticksPerQuarter, numerator, denominator) == 0)
                throw InputError(e.place, "a bar of " + std::to_string(numerator) + "/" + std::to_string(denominator) +
                                              " must hold at least one quarter and whole ticks at " +
                                              std::to_string(project_.ticksPerQuarter) + " ticks per quarter");
            if (!project_.tempo.empty() && e.tick <= project_.tempo.back().tick)
                throw InputError(e.place, "tempo entries must be in increasing position (tick " + std::to_string(e.tick) +
                                              " follows tick " + std::to_string(project_.tempo.back().tick) + ")");
            project_.tempo.push_back(e);
        }
    }

    // ---- [effects] ----

    void readEffects(const toml::table& root) {
        std::vector<uint8_t> block;
        for (const ParameterInfo& p : effectParameters()) block.push_back(p.defaultValue);
        if (const toml::node* node = root.get("effects")) {
            const toml::table& effects = tableOf(*node, "[effects]");
            checkKeys(effects, {"reverb", "delay", "master", "dynamics", "extra_bytes"}, "[effects]");
            for (auto&& [key, sectionNode] : effects) {
                const std::string section(key.str());
                if (section == "extra_bytes") continue;
                const toml::table& t = tableOf(sectionNode, "[effects." + section + "]");
                for (auto&& [name, value] : t) {
                    const ParameterInfo* info = findEffectParameter(section, name.str());
                    if (info == nullptr)
                        throw InputError(place(name.source()), "unknown key '" + std::string(name.str()) + "' in [effects." +
                                                                   section + "]" + knownKeys(effectParameters(), section));
                    block[info->index] = byteOf(value, *info, "effects " + info->fullName());
                }
            }
            if (const toml::node* extra = effects.get("extra_bytes")) {
                if (!extra->is_array()) throw InputError(place(*extra), "extra_bytes must be an array of bytes");
                for (const toml::node& b : *extra->as_array())
                    block.push_back(static_cast<uint8_t>(integerOf(b, 0, kMaxByte, "an extra byte")));
                if (block.size() > player::kMaxEffectBlockBytes)
                    throw InputError(place(*extra), "the effect block would be " + std::to_string(block.size()) +
                                                        " bytes; the format holds at most 16384");
            }
        }
        project_.effectBlock = std::move(block);
    }

    static std::string knownKeys(std::span<const ParameterInfo> table, const std::string& section) {
        std::string list;
        for (const ParameterInfo& p : table)
            if (p.section == section) list += (list.empty() ? "" : ", ") + std::string(p.key);
        return " (known: " + list + ")";
    }

    // ---- [[patch]] ----

    struct PendingPatch {
        int program = 0;
        bool numbered = true;
        std::string name;
        SourcePlace place;
        player::PatchDescription description;
    };

    static player::PatchDescription defaultPatch() {
        player::PatchDescription d;
        for (const ParameterInfo& p : patchParameters()) setPatchByte(d, p.index, p.defaultValue);
        d.voiceLimit = kDefaultVoiceLimit;
        return d;
    }

    static void setPatchByte(player::PatchDescription& d, int index, uint8_t value) {
        if (index < synth::kVoiceParamCount) d.voice[index] = value;
        else d.channel[index - synth::kVoiceParamCount] = value;
    }

    synth::ModRoute routeOf(const toml::node& node, const std::string& patch) const {
        const SourcePlace where = place(node);
        if (!node.is_table()) throw InputError(where, "a route is a table { source = ..., amount = ..., destination = ... }");
        const toml::table& t = *node.as_table();
        checkKeys(t, {"source", "amount", "destination"}, "a route of " + patch);
        synth::ModRoute route;
        const toml::node* source = t.get("source");
        const toml::node* amount = t.get("amount");
        const toml::node* destination = t.get("destination");
        if (!source || !amount || !destination) throw InputError(where, "a route needs source, amount and destination");
        if (source->is_string()) {
            const std::string name = source->as_string()->get();
            const std::optional<uint8_t> value = routeSourceValue(name);
            if (!value)
                throw InputError(place(*source), "unknown route source \"" + name +
                                                     "\" (velocity, cc1..cc7, env1, env2, lfo1, lfo2 or key)");
            route.source = *value;
        } else {
            route.source = static_cast<uint8_t>(integerOf(*source, 0, kMaxByte, "route source"));
        }
        route.amount = static_cast<uint8_t>(integerOf(*amount, 0, kMaxRouteAmount, "route amount"));
        if (destination->is_string()) {
            const std::string name = destination->as_string()->get();
            const size_t dot = name.find('.');
            const ParameterInfo* info = dot == std::string::npos ? nullptr : findPatchParameter(name.substr(0, dot), name.substr(dot + 1));
            if (info == nullptr)
                throw InputError(place(*destination), "unknown route destination \"" + name +
                                                          "\" (a parameter name such as \"filter1.cutoff\" or \"channel.volume\")");
            route.destination = static_cast<uint8_t>(info->index);
        } else {
            route.destination = static_cast<uint8_t>(integerOf(*destination, 0, kMaxByte, "route destination"));
        }
        return route;
    }

    void readPatches(const toml::table& root) {
        const toml::node* node = root.get("patch");
        if (node == nullptr) return;
        if (!node->is_array_of_tables()) throw InputError(place(*node), "patches are written as [[patch]] tables");
        std::vector<PendingPatch> pending;
        std::map<std::string, size_t> byName;
        int position = 0;
        for (const toml::node& patchNode : *node->as_array()) {
            const toml::table& t = *patchNode.as_table();
            PendingPatch p;
            p.place = place(patchNode);
            p.program = position++;
            const std::string label = "patch " + std::to_string(p.program);
            for (auto&& [key, value] : t) {
                const std::string k(key.str());
                if (k == "name" || k == "program" || k == "based_on" || k == "voices" || k == "routes" || k == "numbered") continue;
                if (!isPatchSection(k))
                    throw InputError(place(key.source()), "unknown key '" + k + "' in [[patch]] (known: name, program, numbered, based_on,"
                                                              " voices, routes, voice, osc1, osc2, osc3, filter1, filter2,"
                                                              " shaper, env1, env2, lfo1, lfo2, channel, channel_shaper,"
                                                              " chorus, dynamics)");
            }
            if (const toml::node* n = t.get("name")) {
                p.name = stringOf(*n, "name");
                if (p.name.empty()) throw InputError(place(*n), "a patch name may not be empty");
                if (byName.count(p.name))
                    throw InputError(place(*n), "patch name '" + p.name + "' is already used at " + pending[byName[p.name]].place.text());
            }
            if (const toml::node* n = t.get("numbered")) {
                p.numbered = boolOf(*n, "numbered");
                if (!p.numbered && t.get("program") != nullptr)
                    throw InputError(place(*n), "a patch with numbered = false takes no program number");
                if (!p.numbered && p.name.empty()) throw InputError(place(*n), "a patch with numbered = false needs a name");
                if (!p.numbered) --position;
            }
            if (const toml::node* b = t.get("based_on")) {
                const std::string base = stringOf(*b, "based_on");
                const auto found = byName.find(base);
                if (found != byName.end()) {
                    p.description = pending[found->second].description;
                } else if (const player::PatchDescription* library = libraryPatch(base)) {
                    p.description = *library;
                } else {
                    throw InputError(place(*b), "based_on \"" + base + "\": no earlier patch has that name, nor an included one" +
                                                    (base.rfind(kBuiltinPrefix, 0) == 0 ? " (the built-in bank has no such patch)" : ""));
                }
            } else {
                p.description = defaultPatch();
            }
            if (const toml::node* n = t.get("program")) p.program = static_cast<int>(integerOf(*n, 0, kMaxPrograms - 1, "program"));
            if (const toml::node* v = t.get("voices")) p.description.voiceLimit = static_cast<uint8_t>(integerOf(*v, 0, kMaxByte, "voices"));
            for (auto&& [key, value] : t) {
                const std::string section(key.str());
                if (!isPatchSection(section)) continue;
                const toml::table& s = tableOf(value, "[patch." + section + "]");
                for (auto&& [name, v] : s) {
                    const ParameterInfo* info = findPatchParameter(section, name.str());
                    if (info == nullptr)
                        throw InputError(place(name.source()), "unknown key '" + std::string(name.str()) + "' in [patch." +
                                                                   section + "]" + knownKeys(patchParameters(), section));
                    setPatchByte(p.description, info->index, byteOf(v, *info, info->fullName()));
                }
            }
            if (const toml::node* r = t.get("routes")) {
                if (!r->is_array()) throw InputError(place(*r), "routes must be an array of route tables");
                p.description.routes.clear();
                for (const toml::node& route : *r->as_array()) p.description.routes.push_back(routeOf(route, label));
                if (p.description.routes.size() > kMaxRoutes)
                    throw InputError(place(*r), std::to_string(p.description.routes.size()) + " routes: a patch holds at most 255");
            }
            if (!p.name.empty()) byName[p.name] = pending.size();
            pending.push_back(std::move(p));
        }
        std::vector<PendingPatch> numbered;
        std::vector<LibraryPatch> ownLibrary;
        for (PendingPatch& p : pending) {
            if (p.numbered) numbered.push_back(std::move(p));
            else ownLibrary.push_back(LibraryPatch{p.name, std::move(p.description), p.place});
        }
        project_.library.insert(project_.library.begin(), ownLibrary.begin(), ownLibrary.end());
        pending = std::move(numbered);
        if (pending.size() > static_cast<size_t>(kMaxPrograms))
            throw InputError(pending[kMaxPrograms].place, "a bank holds at most 128 numbered patches (programs 0..127);"
                                                          " this is the 129th (write numbered = false for patches"
                                                          " to be taken by name only)");
        std::vector<const PendingPatch*> byProgram(pending.size(), nullptr);
        for (const PendingPatch& p : pending) {
            if (static_cast<size_t>(p.program) >= pending.size())
                throw InputError(p.place, "program " + std::to_string(p.program) + " leaves a gap: the " +
                                              std::to_string(pending.size()) + " patches must take programs 0.." +
                                              std::to_string(pending.size() - 1));
            if (byProgram[p.program] != nullptr)
                throw InputError(p.place, "program " + std::to_string(p.program) + " is already taken by the patch at " +
                                              byProgram[p.program]->place.text());
            byProgram[p.program] = &p;
        }
        for (const PendingPatch* p : byProgram) {
            project_.patches.push_back(p->description);
            project_.patchNames.push_back(p->name);
        }
        const size_t bankBytes = player::buildPatchBank(project_.patches).size();
        if (bankBytes > player::kMaxPatchBankBytes)
            throw InputError(place(*node), "the patch bank is " + std::to_string(bankBytes) + " bytes; the format holds at most 1048576");
    }

    // ---- [[midi]] ----

    void readMidi(const toml::table& root) {
        const toml::node* node = root.get("midi");
        if (node == nullptr) return;
        if (!node->is_array_of_tables()) throw InputError(place(*node), "MIDI files are written as [[midi]] tables");
        const MidiSource* tempoSource = nullptr;
        for (const toml::node& midiNode : *node->as_array()) {
            const toml::table& t = *midiNode.as_table();
            checkKeys(t, {"file", "channels", "controllers", "tempo", "at", "transpose", "programs", "general_midi"}, "[[midi]]");
            MidiSource m;
            m.place = place(midiNode);
            m.settings = defaultMidiSettings();
            m.settings.ticksPerQuarter = project_.ticksPerQuarter;
            const toml::node* file = t.get("file");
            if (file == nullptr) throw InputError(m.place, "a [[midi]] table needs 'file'");
            m.settings.displayName = stringOf(*file, "file");
            m.settings.path = (project_.directory / m.settings.displayName).string();
            if (const toml::node* c = t.get("channels")) {
                const toml::table& map = tableOf(*c, "channels");
                m.settings.channelTrack.fill(-1);
                for (auto&& [key, value] : map) {
                    const int channel = numberKey(key, 1, 16, "MIDI channel");
                    m.settings.channelTrack[channel - 1] = static_cast<int>(integerOf(value, 0, 15, "track"));
                }
            }
            if (const toml::node* c = t.get("controllers")) {
                const toml::table& map = tableOf(*c, "controllers");
                m.settings.controllerLane.fill(0);
                for (auto&& [key, value] : map) {
                    const int number = numberKey(key, 0, 127, "MIDI controller number");
                    if (!value.is_integer()) throw InputError(place(value), "a controller lane must be a whole number");
                    const int64_t lane = value.as_integer()->get();
                    if (lane < 1 || lane > 7)
                        throw InputError(place(value), "controller lane " + std::to_string(lane) + " is outside 1..7");
                    m.settings.controllerLane[number] = static_cast<int>(lane);
                }
            }
            if (const toml::node* tr = t.get("transpose")) m.settings.transpose = static_cast<int>(integerOf(*tr, -127, 127, "transpose"));
            if (const toml::node* p = t.get("programs")) m.settings.programs = boolOf(*p, "programs");
            if (const toml::node* g = t.get("general_midi")) {
                m.settings.generalMidi = boolOf(*g, "general_midi");
                if (m.settings.generalMidi && (t.get("channels") != nullptr || t.get("controllers") != nullptr))
                    throw InputError(place(*g), "general_midi places channels and controllers itself; leave out 'channels'"
                                                " and 'controllers'");
            }
            if (const toml::node* a = t.get("at")) m.at = positionOf(*a, "at");
            if (const toml::node* tempo = t.get("tempo")) {
                m.settings.tempo = boolOf(*tempo, "tempo");
                if (m.settings.tempo) {
                    if (!project_.tempo.empty())
                        throw InputError(place(*tempo), "the project has [[tempo]] entries; a MIDI file can bring the tempo"
                                                        " map only when the project has none");
                    if (tempoSource != nullptr)
                        throw InputError(place(*tempo), "the MIDI file at " + tempoSource->place.text() + " already brings the tempo map");
                    if (m.at.bar != 1 || m.at.beat != 1)
                        throw InputError(place(*tempo), "a MIDI file that brings the tempo map starts at bar 1");
                }
            }
            project_.midi.push_back(std::move(m));
            if (project_.midi.back().settings.tempo) tempoSource = &project_.midi.back();
        }
    }

    int numberKey(const toml::key& key, int low, int high, const std::string& what) const {
        const std::string text(key.str());
        if (text.empty() || text.size() > 3 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            throw InputError(place(key.source()), what + " \"" + text + "\" is not a number");
        const int value = std::stoi(text);
        if (value < low || value > high)
            throw InputError(place(key.source()), what + " " + text + " is out of range " + std::to_string(low) + ".." + std::to_string(high));
        return value;
    }

    // ---- includes ----

    void readIncludes(const toml::table& root) {
        const toml::node* node = root.get("include");
        if (node == nullptr) return;
        if (!node->is_array()) throw InputError(place(*node), "include must be an array of file names");
        for (const toml::node& entry : *node->as_array()) {
            const std::string name = stringOf(entry, "an included file name");
            const SourcePlace at = place(entry);
            if (includeDepth_ >= kMaxIncludeDepth)
                throw InputError(at, "includes nest deeper than " + std::to_string(kMaxIncludeDepth) + " files (does a file include itself?)");
            if (name == kBuiltinBankIncludeName) {
                appendToLibrary(builtinBank());
                continue;
            }
            const std::filesystem::path path = project_.directory / name;
            std::error_code error;
            if (std::filesystem::exists(path, error) && !std::filesystem::is_regular_file(path, error))
                throw IoError(at.text() + ": the included file " + name + " is not a regular file");
            const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
            if (std::find(includeChain_.begin(), includeChain_.end(), canonical) != includeChain_.end())
                throw InputError(at, "the included file " + name + " includes itself (through the files it includes)");
            std::ifstream in(path, std::ios::binary);
            if (!in) throw IoError(at.text() + ": cannot open the included file " + name);
            std::stringstream text;
            text << in.rdbuf();
            if (in.bad()) throw IoError(at.text() + ": cannot read the included file " + name);
            std::vector<std::filesystem::path> chain = includeChain_;
            chain.push_back(canonical);
            appendToLibrary(ProjectReader(path.string(), path.parent_path(), includeDepth_ + 1, std::move(chain)).read(text.str()));
        }
    }

    void appendToLibrary(const Project& included) {
        for (size_t i = 0; i < included.patches.size(); ++i)
            if (!included.patchNames[i].empty())
                project_.library.push_back(LibraryPatch{included.patchNames[i], included.patches[i], SourcePlace{included.displayName}});
        for (const LibraryPatch& p : included.library) project_.library.push_back(p);
    }

    const player::PatchDescription* libraryPatch(const std::string& name) const {
        for (const LibraryPatch& p : project_.library)
            if (p.name == name) return &p.description;
        return builtinPatch(name);
    }

    Project project_;
    int includeDepth_ = 0;
    std::vector<std::filesystem::path> includeChain_;  // the files being included, outermost first
};

// What a file that is not TOML text holds, when it can be told from its bytes.
std::string recogniseBinary(const std::string& bytes) {
    if (bytes.size() >= 4 && bytes.compare(0, 4, "MThd") == 0)
        return "this is a Standard MIDI File, not a TOML project: compile it directly (zimblo-songc FILE.mid -o"
               " OUT.song) or name it in a [[midi]] table";
    if (player::checkSong(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).empty())
        return "this is a compiled song file, not a TOML project: list it with zimblo-songc --dump";
    if (bytes.find('\0') != std::string::npos) return "this is a binary file, not a TOML project";
    return {};
}

}  // namespace

std::optional<int> Project::programNamed(std::string_view name) const {
    for (size_t i = 0; i < patchNames.size(); ++i)
        if (patchNames[i] == name) return static_cast<int>(i);
    return std::nullopt;
}

const player::PatchDescription* Project::patchNamed(std::string_view name) const {
    if (const std::optional<int> program = programNamed(name)) return &patches[*program];
    for (const LibraryPatch& p : library)
        if (p.name == name) return &p.description;
    return builtinPatch(name);
}

Project parseProject(const std::string& text, const std::string& displayName, const std::filesystem::path& directory) {
    return ProjectReader(displayName, directory).read(text);
}

Project loadProject(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw IoError(path.string() + ": cannot open the project file");
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) throw IoError(path.string() + ": cannot read the project file");
    const std::string what = recogniseBinary(text.str());
    if (!what.empty()) throw InputError(path.string() + ": " + what);
    return parseProject(text.str(), path.string(), path.parent_path());
}

}  // namespace zimblo::songc
