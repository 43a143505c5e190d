#include "score.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <memory>
#include <set>

namespace zimblo::songc {

namespace {

constexpr int kNoteCount = 128;
constexpr int kMaxDataValue = 127;
constexpr int kMaxBend = 16383;
constexpr int kDefaultVelocity = 100;
constexpr int kFullGatePercent = 100;
constexpr uint32_t kMaxDurationDenominator = 128;
constexpr uint64_t kMaxTick = 0xFFFFFFFEu;  // the format's tick 0xFFFFFFFF means "nothing pending"

struct Token {
    std::string text;
    SourcePlace place;
};

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

std::vector<Token> tokenise(const ScoreFile& file) {
    std::vector<Token> tokens;
    const std::string& s = file.text;
    int line = 1;
    int column = 1;
    size_t i = 0;
    auto advance = [&](size_t count) {
        for (size_t k = 0; k < count && i < s.size(); ++k, ++i) {
            if (s[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
    };
    while (i < s.size()) {
        const char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            advance(1);
            continue;
        }
        if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            while (i < s.size() && s[i] != '\n') advance(1);
            continue;
        }
        Token token;
        token.place = SourcePlace{file.name, line, column};
        if (c == '|') {
            token.text = "|";
            advance(1);
        } else if (c == '[') {
            // A chord: everything up to the closing bracket, then its suffix.
            const size_t close = s.find_first_of("]\n", i);
            if (close == std::string::npos || s[close] != ']')
                throw InputError(token.place, "chord has no closing ']' on its line");
            size_t end = close + 1;
            while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end])) && s[end] != '|' &&
                   s.compare(end, 2, "//") != 0)
                ++end;
            token.text = s.substr(i, end - i);
            advance(end - i);
        } else {
            size_t end = i;
            while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end])) && s[end] != '|' &&
                   s.compare(end, 2, "//") != 0)
                ++end;
            token.text = s.substr(i, end - i);
            advance(end - i);
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::optional<int64_t> parseInteger(std::string_view text) {
    if (text.empty()) return std::nullopt;
    int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (*first == '+') ++first;
    if (first == last) return std::nullopt;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last) return std::nullopt;
    return value;
}

int64_t integerIn(std::string_view text, int64_t low, int64_t high, const std::string& what,
                  const SourcePlace& place) {
    const std::optional<int64_t> value = parseInteger(text);
    if (!value) throw InputError(place, what + " '" + std::string(text) + "' is not a whole number");
    if (*value < low || *value > high)
        throw InputError(place, what + " " + std::to_string(*value) + " is out of range " +
                                    std::to_string(low) + ".." + std::to_string(high));
    return *value;
}

// One element of a block body.
struct Item {
    enum class Kind { Note, Rest, BarCheck, Program, Controller, Bend, Gate, Step, Play, At };
    Kind kind = Kind::Note;
    SourcePlace place;

    // Note (single or chord): pitches with their own velocities (0 = none).
    std::vector<std::pair<int, int>> pitches;
    std::optional<uint64_t> duration;  // notes, rests, ramps; the step of Step
    std::optional<int> velocity;
    bool tie = false;

    // Program: a number, or a patch name resolved at compile time.
    int number = 0;  // program, controller lane, gate percent, bar
    std::string name;  // program name, pattern name

    // Controller and bend: a value, or a ramp from `value` to `target` over `duration`.
    int value = 0;
    std::optional<int> target;

    // Play.
    uint64_t repeats = 1;
    int transpose = 0;

    // At.
    uint64_t beat = 1;
};

struct Block {
    bool isPattern = false;
    std::string name;  // pattern name
    int track = 0;
    uint64_t barTicks = 0;  // pattern bar for bar checks
    SourcePlace place;
    std::vector<Token> body;
    std::vector<Item> items;
};

class ScoreCompiler {
public:
    ScoreCompiler(const ScoreSettings& settings) : settings_(settings) {}

    std::vector<SongEvent> run(const std::vector<ScoreFile>& files) {
        for (const ScoreFile& file : files) readStructure(tokenise(file));
        for (auto& block : blocks_) parseBody(*block);
        for (auto& block : blocks_)
            if (!block->isPattern) compileTrack(*block);
        // Patterns no track plays are still checked (bar checks, ties,
        // pattern names), played once on their own; their events are dropped.
        const size_t kept = events_.size();
        for (auto& block : blocks_)
            if (block->isPattern && !played_.count(block.get())) {
                Cursor cursor = freshCursor(0, 0);
                run(*block, cursor);
            }
        events_.resize(kept);
        return std::move(events_);
    }

private:
    // ---- structure: aliases, patterns and tracks with their body tokens ----

    void readStructure(const std::vector<Token>& tokens) {
        size_t i = 0;
        auto need = [&](const Token& after, const std::string& what) -> const Token& {
            if (i >= tokens.size()) throw InputError(after.place, "'" + after.text + "' needs " + what);
            return tokens[i++];
        };
        while (i < tokens.size()) {
            const Token& head = tokens[i++];
            if (head.text == "alias") {
                const Token& name = need(head, "a name and a pitch");
                const Token& pitch = need(name, "a pitch");
                checkNewName(name, "alias");
                const std::optional<int> note = parsePitch(pitch.text);
                if (!note) throw InputError(pitch.place, "'" + pitch.text + "' is not a note name");
                checkNoteRange(*note, pitch.place, pitch.text);
                aliases_[name.text] = *note;
                continue;
            }
            auto block = std::make_unique<Block>();
            block->place = head.place;
            if (head.text == "pattern") {
                const Token& name = need(head, "a name");
                checkNewName(name, "pattern");
                block->isPattern = true;
                block->name = name.text;
                block->barTicks = uint64_t{settings_.ticksPerQuarter} * 4;
                if (i < tokens.size() && isMeter(tokens[i].text)) {
                    const Token& meter = tokens[i++];
                    const size_t slash = meter.text.find('/');
                    const int64_t n = integerIn(meter.text.substr(0, slash), 1, 255, "meter numerator", meter.place);
                    const int64_t d = integerIn(meter.text.substr(slash + 1), 1, 255, "meter denominator", meter.place);
                    block->barTicks = barTicksOf(settings_.ticksPerQuarter, static_cast<uint32_t>(n),
                                                 static_cast<uint32_t>(d));
                    if (block->barTicks == 0)
                        throw InputError(meter.place, "a bar of " + meter.text + " is not a whole number of ticks"
                                                      " of at least one quarter");
                }
                if (patterns_.count(name.text))
                    throw InputError(name.place, "pattern '" + name.text + "' is already defined at " +
                                                     patterns_[name.text]->place.text());
                patterns_[name.text] = block.get();
            } else if (head.text == "track") {
                const Token& number = need(head, "a track number 0..15");
                block->track = static_cast<int>(integerIn(number.text, 0, 15, "track", number.place));
            } else {
                throw InputError(head.place, "expected 'alias', 'pattern' or 'track', found '" + head.text + "'");
            }
            bool closed = false;
            while (i < tokens.size()) {
                const Token& t = tokens[i++];
                if (t.text == "end") {
                    closed = true;
                    break;
                }
                if (t.text == "pattern" || t.text == "track" || t.text == "alias")
                    throw InputError(t.place, "'" + t.text + "' inside the block that starts at " +
                                                  block->place.text() + " (missing 'end'?)");
                block->body.push_back(t);
            }
            if (!closed) throw InputError(block->place, "block '" + head.text + "' has no 'end'");
            blocks_.push_back(std::move(block));
        }
    }

    static bool isMeter(const std::string& text) {
        const size_t slash = text.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
        return std::all_of(text.begin(), text.end(), [](char c) { return c == '/' || std::isdigit(static_cast<unsigned char>(c)); });
    }

    void checkNewName(const Token& name, const std::string& what) const {
        static const std::set<std::string> keywords = {"alias", "pattern", "track", "end", "play", "at", "r"};
        const std::string& n = name.text;
        const bool shaped = !n.empty() && isNameStart(n[0]) && std::all_of(n.begin(), n.end(), isNameChar);
        const bool repeatLike = n.size() > 1 && n[0] == 'x' &&
                                std::all_of(n.begin() + 1, n.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (!shaped || keywords.count(n) || repeatLike || parsePitch(n) || n.rfind("cc", 0) == 0)
            throw InputError(name.place, "'" + n + "' cannot name " + (what == "alias" ? "an alias" : "a pattern") +
                                             ": use letters, digits and '_', starting with a letter, and no"
                                             " note name, keyword or cc name");
        if (what == "alias" && aliases_.count(n)) throw InputError(name.place, "alias '" + n + "' is already defined");
    }

    void checkNoteRange(int note, const SourcePlace& place, const std::string& text) const {
        if (note < 0 || note >= kNoteCount)
            throw InputError(place, "note " + text + " (" + std::to_string(note) + ") is out of range 0..127");
    }

    // ---- body parsing ----

    uint64_t duration(std::string_view text, const SourcePlace& place) const {
        return parseDuration(text, settings_.ticksPerQuarter, place);
    }

    int pitchOf(std::string_view text, const SourcePlace& place) const {
        if (const auto alias = aliases_.find(std::string(text)); alias != aliases_.end()) return alias->second;
        const std::optional<int> note = parsePitch(text);
        if (!note) throw InputError(place, "'" + std::string(text) + "' is neither a note name nor an alias");
        checkNoteRange(*note, place, std::string(text));
        return *note;
    }

    // The ":DUR", "@VEL" and "~" after a note or chord head.
    void parseNoteSuffix(std::string_view suffix, Item& item) const {
        if (!suffix.empty() && suffix.back() == '~') {
            item.tie = true;
            suffix.remove_suffix(1);
        }
        const size_t at = suffix.find('@');
        std::string_view durationText = suffix.substr(0, at);
        if (at != std::string_view::npos) {
            item.velocity = static_cast<int>(integerIn(suffix.substr(at + 1), 1, kMaxDataValue, "velocity", item.place));
        }
        if (!durationText.empty()) {
            if (durationText[0] != ':')
                throw InputError(item.place, "expected ':duration', '@velocity' or '~' after the pitch, found '" +
                                                 std::string(durationText) + "'");
            item.duration = duration(durationText.substr(1), item.place);
            if (*item.duration == 0) throw InputError(item.place, "a note lasts at least one tick");
        }
    }

    // "A" or "A>B:DUR" for controllers and bends.
    void parseValueOrRamp(std::string_view text, int high, const std::string& what, Item& item) const {
        const size_t arrow = text.find('>');
        if (arrow == std::string_view::npos) {
            item.value = static_cast<int>(integerIn(text, 0, high, what, item.place));
            return;
        }
        const size_t colon = text.find(':', arrow);
        if (colon == std::string_view::npos)
            throw InputError(item.place, "a ramp needs its duration: " + what + "=A>B:DURATION");
        item.value = static_cast<int>(integerIn(text.substr(0, arrow), 0, high, what, item.place));
        item.target = static_cast<int>(integerIn(text.substr(arrow + 1, colon - arrow - 1), 0, high, what, item.place));
        item.duration = duration(text.substr(colon + 1), item.place);
        if (*item.duration == 0) throw InputError(item.place, "a ramp lasts at least one tick");
    }

    void parseBody(Block& block) {
        const std::vector<Token>& tokens = block.body;
        for (size_t i = 0; i < tokens.size(); ++i) {
            const Token& t = tokens[i];
            Item item;
            item.place = t.place;
            const std::string& s = t.text;
            if (s == "|") {
                item.kind = Item::Kind::BarCheck;
            } else if (s == "play") {
                item.kind = Item::Kind::Play;
                if (i + 1 >= tokens.size()) throw InputError(t.place, "'play' needs a pattern name");
                item.name = tokens[++i].text;
                bool haveRepeats = false;
                bool haveTranspose = false;
                while (i + 1 < tokens.size()) {
                    const Token& option = tokens[i + 1];
                    const std::string& o = option.text;
                    if (o.size() > 1 && o[0] == 'x' && std::isdigit(static_cast<unsigned char>(o[1]))) {
                        if (haveRepeats) throw InputError(option.place, "'play' takes one repeat count");
                        item.repeats = static_cast<uint64_t>(integerIn(o.substr(1), 1, 1000000, "repeat count", option.place));
                        haveRepeats = true;
                    } else if (o.size() > 1 && (o[0] == '+' || o[0] == '-') && std::isdigit(static_cast<unsigned char>(o[1]))) {
                        if (haveTranspose) throw InputError(option.place, "'play' takes one transposition");
                        item.transpose = static_cast<int>(integerIn(o, -127, 127, "transposition", option.place));
                        haveTranspose = true;
                    } else {
                        break;
                    }
                    ++i;
                }
            } else if (s == "at") {
                item.kind = Item::Kind::At;
                if (block.isPattern)
                    throw InputError(t.place, "'at' places music in a track; a pattern is positioned by where it is played");
                if (i + 1 >= tokens.size()) throw InputError(t.place, "'at' needs a bar: at BAR or at BAR:BEAT");
                const Token& where = tokens[++i];
                const size_t colon = where.text.find(':');
                item.number = static_cast<int>(integerIn(where.text.substr(0, colon), 1, 1000000, "bar", where.place));
                if (colon != std::string::npos)
                    item.beat = static_cast<uint64_t>(integerIn(where.text.substr(colon + 1), 1, 255, "beat", where.place));
            } else if (s == "r" || s.rfind("r:", 0) == 0 || s.rfind("r@", 0) == 0) {
                item.kind = Item::Kind::Rest;
                if (s.find('@') != std::string::npos) throw InputError(t.place, "a rest has no velocity");
                if (s.size() > 2) item.duration = duration(std::string_view(s).substr(2), t.place);
            } else if (s[0] == '[') {
                item.kind = Item::Kind::Note;
                const size_t close = s.find(']');
                std::string_view inner = std::string_view(s).substr(1, close - 1);
                size_t p = 0;
                int column = t.place.column + 1;
                while (p < inner.size()) {
                    while (p < inner.size() && std::isspace(static_cast<unsigned char>(inner[p]))) ++p;
                    size_t q = p;
                    while (q < inner.size() && !std::isspace(static_cast<unsigned char>(inner[q]))) ++q;
                    if (q == p) break;
                    const std::string_view member = inner.substr(p, q - p);
                    const SourcePlace memberPlace{t.place.file, t.place.line, column + static_cast<int>(p)};
                    const size_t at = member.find('@');
                    if (member.find_first_of(":~") != std::string_view::npos)
                        throw InputError(memberPlace, "a chord's duration and tie follow its ']'");
                    int velocity = 0;
                    if (at != std::string_view::npos)
                        velocity = static_cast<int>(integerIn(member.substr(at + 1), 1, kMaxDataValue, "velocity", memberPlace));
                    item.pitches.emplace_back(pitchOf(member.substr(0, at), memberPlace), velocity);
                    p = q;
                }
                if (item.pitches.empty()) throw InputError(t.place, "an empty chord");
                parseNoteSuffix(std::string_view(s).substr(close + 1), item);
            } else if (const size_t eq = s.find('='); eq != std::string::npos) {
                parseSetting(s.substr(0, eq), std::string_view(s).substr(eq + 1), item);
            } else {
                item.kind = Item::Kind::Note;
                const size_t headEnd = std::min(s.find_first_of(":@~"), s.size());
                item.pitches.emplace_back(pitchOf(std::string_view(s).substr(0, headEnd), t.place), 0);
                parseNoteSuffix(std::string_view(s).substr(headEnd), item);
            }
            block.items.push_back(std::move(item));
        }
    }

    void parseSetting(const std::string& key, std::string_view value, Item& item) const {
        if (key == "program") {
            item.kind = Item::Kind::Program;
            if (const std::optional<int64_t> number = parseInteger(value)) {
                if (*number < 0 || *number >= settings_.programCount)
                    throw InputError(item.place, "program " + std::to_string(*number) + " is not in the patch bank" +
                                                     programRange());
                item.number = static_cast<int>(*number);
            } else {
                const std::optional<int> program = settings_.programNamed ? settings_.programNamed(value) : std::nullopt;
                if (!program) throw InputError(item.place, "no patch is named '" + std::string(value) + "'");
                item.number = *program;
            }
        } else if (key.rfind("cc", 0) == 0) {
            item.kind = Item::Kind::Controller;
            const std::optional<int64_t> lane = parseInteger(std::string_view(key).substr(2));
            if (!lane || key.size() < 3 || !std::isdigit(static_cast<unsigned char>(key[2])))
                throw InputError(item.place, "'" + key + "' is not a controller: write cc1..cc7");
            if (*lane < 1 || *lane > 7)
                throw InputError(item.place, "controller lane " + std::to_string(*lane) + " is outside 1..7");
            item.number = static_cast<int>(*lane);
            parseValueOrRamp(value, kMaxDataValue, "controller value", item);
        } else if (key == "bend") {
            item.kind = Item::Kind::Bend;
            parseValueOrRamp(value, kMaxBend, "pitch bend", item);
        } else if (key == "gate") {
            item.kind = Item::Kind::Gate;
            item.number = static_cast<int>(integerIn(value, 1, kFullGatePercent, "gate", item.place));
        } else if (key == "step") {
            item.kind = Item::Kind::Step;
            item.duration = duration(value, item.place);
            if (*item.duration == 0) throw InputError(item.place, "a ramp step lasts at least one tick");
        } else {
            throw InputError(item.place, "unknown setting '" + key + "=' (program, cc1..cc7, bend, gate, step)");
        }
    }

    std::string programRange() const {
        if (settings_.programCount == 0) return " (the bank is empty)";
        return " (programs 0.." + std::to_string(settings_.programCount - 1) + ")";
    }

    // ---- evaluation ----

    struct HeldNote {
        uint64_t start = 0;
        int velocity = 0;
        SourcePlace place;
    };

    struct Cursor {
        uint64_t start = 0;  // where the block began
        uint64_t position = 0;
        uint64_t duration = 0;
        int velocity = kDefaultVelocity;
        int gate = kFullGatePercent;
        uint64_t step = 1;
        int transpose = 0;
        std::map<int, HeldNote> tied;  // transposed note -> the note waiting for its continuation
    };

    Cursor freshCursor(uint64_t start, int transpose) const {
        Cursor c;
        c.start = start;
        c.position = start;
        c.duration = settings_.ticksPerQuarter;
        c.step = std::max<uint64_t>(1, settings_.ticksPerQuarter / 8);  // a 32nd note
        c.transpose = transpose;
        return c;
    }

    void compileTrack(const Block& block) {
        track_ = block.track;
        Cursor cursor = freshCursor(0, 0);
        run(block, cursor);
    }

    void emit(EventKind kind, uint64_t tick, int lane, int value1, int value2, const SourcePlace& place) {
        if (tick > kMaxTick)
            throw InputError(place, "this event lies at tick " + std::to_string(tick) +
                                        ", beyond the song format's last tick " + std::to_string(kMaxTick));
        SongEvent e;
        e.tick = tick;
        e.track = track_;
        e.kind = kind;
        e.lane = lane;
        e.value1 = static_cast<uint8_t>(value1);
        e.value2 = static_cast<uint8_t>(value2);
        e.place = place;
        events_.push_back(std::move(e));
    }

    std::string transposedBy() const {
        if (plays_.empty()) return "";
        return " (transposed by the play at " + plays_.back().text() + ")";
    }

    void requireNoTies(const Cursor& cursor, const std::string& what) const {
        if (cursor.tied.empty()) return;
        const HeldNote& held = cursor.tied.begin()->second;
        throw InputError(held.place, "this tie is not continued: " + what + " follows it");
    }

    uint64_t soundingTicks(uint64_t duration, int gate) const {
        if (gate >= kFullGatePercent) return duration;
        // Nearest tick, halves rounded up, and never shorter than one tick.
        const uint64_t ticks = (duration * static_cast<uint64_t>(gate) * 2 + kFullGatePercent) / (2 * kFullGatePercent);
        return std::max<uint64_t>(1, ticks);
    }

    void playNotes(const Item& item, Cursor& c) {
        if (item.duration) c.duration = *item.duration;
        if (item.velocity) c.velocity = *item.velocity;
        std::set<int> present;
        for (const auto& [pitch, ownVelocity] : item.pitches) {
            const int note = pitch + c.transpose;
            if (note < 0 || note >= kNoteCount)
                throw InputError(item.place, "note " + std::to_string(pitch) + " transposed by " +
                                                 std::to_string(c.transpose) + " gives " + std::to_string(note) +
                                                 ", out of range 0..127" + transposedBy());
            present.insert(note);
        }
        for (const auto& [note, held] : c.tied)
            if (!present.count(note))
                throw InputError(held.place, "this tie is not continued: the next note at " + item.place.text() +
                                                 " does not hold the same pitch");
        std::map<int, HeldNote> stillTied;
        for (const auto& [pitch, ownVelocity] : item.pitches) {
            const int note = pitch + c.transpose;
            HeldNote held;
            if (const auto t = c.tied.find(note); t != c.tied.end()) {
                held = t->second;  // a continuation: no new attack
            } else {
                held.start = c.position;
                held.velocity = ownVelocity > 0 ? ownVelocity : c.velocity;
                held.place = item.place;
                emit(EventKind::NoteOn, c.position, 0, note, held.velocity, item.place);
            }
            if (item.tie) {
                held.place = item.place;
                stillTied[note] = held;
            } else {
                emit(EventKind::NoteOff, c.position + soundingTicks(c.duration, c.gate), 0, note, 0, item.place);
            }
        }
        c.tied = std::move(stillTied);
        c.position += c.duration;
    }

    void controllerEvents(const Item& item, const Cursor& c) {
        const EventKind kind = item.kind == Item::Kind::Bend ? EventKind::PitchBend : EventKind::Controller;
        auto write = [&](uint64_t tick, int value) {
            if (kind == EventKind::PitchBend)
                emit(kind, tick, 0, value & 0x7F, value >> 7, item.place);
            else
                emit(kind, tick, item.number, value, 0, item.place);
        };
        write(c.position, item.value);
        if (!item.target) return;
        const int64_t from = item.value;
        const int64_t to = *item.target;
        const uint64_t length = *item.duration;
        int64_t last = from;
        for (uint64_t offset = c.step; offset < length; offset += c.step) {
            // Nearest value on the straight line, halves away from zero.
            const int64_t numerator = (to - from) * static_cast<int64_t>(offset) * 2;
            const int64_t denominator = static_cast<int64_t>(length) * 2;
            const int64_t rounded = numerator >= 0 ? (numerator + static_cast<int64_t>(length)) / denominator
                                                   : -((-numerator + static_cast<int64_t>(length)) / denominator);
            const int64_t value = from + rounded;
            if (value == last) continue;
            write(c.position + offset, static_cast<int>(value));
            last = value;
        }
        if (to != last) write(c.position + length, static_cast<int>(to));
    }

    uint64_t playPattern(const Item& item, Cursor& c) {
        const auto found = patterns_.find(item.name);
        if (found == patterns_.end()) throw InputError(item.place, "no pattern is named '" + item.name + "'");
        const Block& pattern = *found->second;
        if (std::find(active_.begin(), active_.end(), &pattern) != active_.end())
            throw InputError(item.place, "pattern '" + item.name + "' plays itself (through the plays that lead here)");
        active_.push_back(&pattern);
        played_.insert(&pattern);
        plays_.push_back(item.place);
        for (uint64_t k = 0; k < item.repeats; ++k) {
            Cursor inner = freshCursor(c.position, c.transpose + item.transpose);
            run(pattern, inner);
            c.position = inner.position;
        }
        plays_.pop_back();
        active_.pop_back();
        return c.position;
    }

    void run(const Block& block, Cursor& c) {
        for (const Item& item : block.items) {
            switch (item.kind) {
                case Item::Kind::Note:
                    playNotes(item, c);
                    break;
                case Item::Kind::Rest:
                    requireNoTies(c, "a rest");
                    if (item.duration) c.duration = *item.duration;
                    c.position += c.duration;
                    break;
                case Item::Kind::BarCheck:
                    checkBar(block, c, item.place);
                    break;
                case Item::Kind::Program:
                    emit(EventKind::Program, c.position, 0, item.number, 0, item.place);
                    break;
                case Item::Kind::Controller:
                case Item::Kind::Bend:
                    controllerEvents(item, c);
                    break;
                case Item::Kind::Gate:
                    c.gate = item.number;
                    break;
                case Item::Kind::Step:
                    c.step = *item.duration;
                    break;
                case Item::Kind::Play:
                    requireNoTies(c, "a play");
                    playPattern(item, c);
                    break;
                case Item::Kind::At:
                    requireNoTies(c, "an 'at'");
                    c.position = settings_.meters->tickOf(static_cast<uint64_t>(item.number), item.beat, item.place);
                    break;
            }
            if (c.position > kMaxTick + 1)
                throw InputError(item.place, "the music reaches tick " + std::to_string(c.position) +
                                                 ", beyond the song format's last tick");
        }
        requireNoTies(c, "the end of the block");
    }

    void checkBar(const Block& block, const Cursor& c, const SourcePlace& place) const {
        if (block.isPattern) {
            const uint64_t elapsed = c.position - c.start;
            const uint64_t past = elapsed % block.barTicks;
            if (past != 0)
                throw InputError(place, "bar check: " + std::to_string(past) + " ticks past the start of bar " +
                                            std::to_string(elapsed / block.barTicks + 1) + " of pattern '" +
                                            block.name + "' (" + std::to_string(block.barTicks) + " ticks a bar)");
        } else if (!settings_.meters->isBarLine(c.position)) {
            throw InputError(place, "bar check: tick " + std::to_string(c.position) + " is not on a bar line of the song");
        }
    }

    const ScoreSettings& settings_;
    std::vector<std::unique_ptr<Block>> blocks_;
    std::map<std::string, Block*> patterns_;
    std::map<std::string, int> aliases_;
    std::vector<SongEvent> events_;
    std::vector<const Block*> active_;
    std::set<const Block*> played_;
    std::vector<SourcePlace> plays_;
    int track_ = 0;
};

}  // namespace

std::optional<int> parsePitch(std::string_view text) {
    static constexpr int kSemitones[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    if (text.empty()) return std::nullopt;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (letter < 'A' || letter > 'G') return std::nullopt;
    int semitone = kSemitones[letter - 'A'];
    size_t i = 1;
    if (i < text.size() && text[i] == '#') {
        while (i < text.size() && text[i] == '#' && i < 3) ++semitone, ++i;
    } else {
        // A 'b' is a flat only when an octave still follows it ("bb3" is B flat 3).
        while (i < text.size() && text[i] == 'b' && i < 3 && i + 1 < text.size()) --semitone, ++i;
    }
    const std::optional<int64_t> octave = [&]() -> std::optional<int64_t> {
        const std::string_view rest = text.substr(i);
        if (rest.empty() || rest[0] == '+') return std::nullopt;
        return parseInteger(rest);
    }();
    if (!octave || *octave < -1 || *octave > 9) return std::nullopt;
    return static_cast<int>(12 * (*octave + 1)) + semitone;
}

uint64_t parseDuration(std::string_view text, uint32_t ticksPerQuarter, const SourcePlace& place) {
    if (text.empty()) throw InputError(place, "a duration is missing");
    const uint64_t wholeTicks = uint64_t{ticksPerQuarter} * 4;
    uint64_t total = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t plus = std::min(text.find('+', start), text.size());
        const std::string_view part = text.substr(start, plus - start);
        const std::string what = "duration '" + std::string(part) + "'";
        if (part.empty()) throw InputError(place, "an empty part in the duration '" + std::string(text) + "'");
        // The value as the fraction numerator/denominator of a whole note.
        uint64_t numerator = 0;
        uint64_t denominator = 0;
        if (const size_t slash = part.find('/'); slash != std::string_view::npos) {
            const std::optional<int64_t> a = parseInteger(part.substr(0, slash));
            const std::optional<int64_t> b = parseInteger(part.substr(slash + 1));
            if (!a || !b || *a < 1 || *b < 1 || *a > 1000000 || *b > 1000000)
                throw InputError(place, what + " is not a fraction A/B of whole numbers from 1");
            numerator = static_cast<uint64_t>(*a);
            denominator = static_cast<uint64_t>(*b);
        } else {
            size_t digits = 0;
            while (digits < part.size() && std::isdigit(static_cast<unsigned char>(part[digits]))) ++digits;
            const std::optional<int64_t> value = parseInteger(part.substr(0, digits));
            if (!value || *value < 1 || *value > kMaxDurationDenominator || (*value & (*value - 1)) != 0)
                throw InputError(place, what + " is not a note value: 1, 2, 4, 8, 16, 32, 64 or 128, then dots"
                                               " or 't', or a fraction A/B");
            size_t i = digits;
            int dots = 0;
            while (i < part.size() && part[i] == '.') ++dots, ++i;
            const bool triplet = i < part.size() && part[i] == 't';
            if (triplet) ++i;
            if (i != part.size() || dots > 4)
                throw InputError(place, what + " is not a note value (write 4, 4., 4.., 8t, 3/16 or 2+8)");
            // n dots: (2^(n+1) − 1) / 2^n of the plain value.
            numerator = (uint64_t{2} << dots) - 1;
            denominator = static_cast<uint64_t>(*value) << dots;
            if (triplet) {
                numerator *= 2;
                denominator *= 3;
            }
        }
        const uint64_t scaled = wholeTicks * numerator;
        if (scaled % denominator != 0)
            throw InputError(place, what + " is not a whole number of ticks at " + std::to_string(ticksPerQuarter) +
                                        " ticks per quarter (" + std::to_string(scaled) + "/" +
                                        std::to_string(denominator) + ")");
        total += scaled / denominator;
        if (plus == text.size()) break;
        start = plus + 1;
    }
    return total;
}

std::vector<SongEvent> compileScores(const std::vector<ScoreFile>& files, const ScoreSettings& settings) {
    return ScoreCompiler(settings).run(files);
}

}  // namespace zimblo::songc
