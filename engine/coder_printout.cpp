#include "coder_printout.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <set>
#include <tuple>
#include <utility>

#include "job_ports.h"

namespace lmk {
namespace {

constexpr std::string_view kInputHead = "Input #";
constexpr std::string_view kOutputHead = "Output #";
constexpr std::string_view kMappingHead = "Stream mapping:";
constexpr std::string_view kPressHead = "Press [q]";
constexpr std::string_view kStreamMark = "Stream #";
constexpr std::string_view kMetadataHead = "Metadata:";
constexpr std::string_view kSideDataHead = "Side data:";
constexpr std::string_view kChaptersHead = "Chapters:";
constexpr std::string_view kChapterMark = "Chapter #";
constexpr std::string_view kProgramMark = "Program ";
constexpr std::string_view kNoProgramMark = "No Program";
constexpr std::string_view kDurationMark = "Duration: ";
constexpr std::string_view kBitrateMark = ", bitrate: ";
constexpr std::string_view kBitrateUnit = " kb/s";
constexpr std::string_view kRateUnit = " fps";
constexpr std::string_view kRotationMark = "displaymatrix: rotation of ";
constexpr std::string_view kEstimatedMark = "Estimating duration from bitrate";
constexpr std::string_view kClockMark = "time=";

bool IsProgressLine(std::string_view line) {
    return line.starts_with("frame=") || line.starts_with("size=");
}
constexpr std::string_view kCoverMark = "(attached pic)";
constexpr std::string_view kDefaultMark = "(default)";
// The coder prefers a stream marked default by this much over a larger one.
constexpr std::uint64_t kDefaultBonus = 5000000;
constexpr char kMask = '_';

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits at `at`, moving `at` past them; none when there are none or more than nine.
std::optional<unsigned> Number(std::string_view text, std::size_t& at) {
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && IsDigit(text[at]) && at - start < 9)
        value = value * 10 + static_cast<unsigned>(text[at++] - '0');
    if (at == start || (at < text.size() && IsDigit(text[at]))) return std::nullopt;
    return value;
}

// "Input #N, ..." or "Output #N, ..." at the start of a line.
bool IsFileHeading(std::string_view line, std::string_view head) {
    if (!line.starts_with(head)) return false;
    std::size_t at = head.size();
    return Number(line, at) && (at == line.size() || line[at] == ',');
}

// The demuxer's name in "Input #N, NAME, from '...':".
std::string FormatOf(std::string_view heading) {
    const std::size_t start = heading.find(", ");
    const std::size_t end = heading.find(", from '");
    if (start == std::string_view::npos || end == std::string_view::npos || end < start) return {};
    return std::string(heading.substr(start + 2, end - start - 2));
}

// The description's items: split at ", " outside parentheses and brackets.
std::vector<std::string_view> Items(std::string_view description) {
    std::vector<std::string_view> items;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < description.size(); ++i) {
        const char c = description[i];
        if (c == '(' || c == '[') ++depth;
        if ((c == ')' || c == ']') && depth > 0) --depth;
        if (c == ',' && depth == 0 && i + 1 < description.size() && description[i + 1] == ' ') {
            items.push_back(description.substr(start, i - start));
            start = i + 2;
        }
    }
    items.push_back(description.substr(start));
    return items;
}

// "SAR a:b" or "PAR a:b" at the start of `text`.
std::optional<Ratio> AspectAt(std::string_view text) {
    if (!text.starts_with("SAR ") && !text.starts_with("PAR ")) return std::nullopt;
    std::size_t at = 4;
    const auto num = Number(text, at);
    if (!num || at >= text.size() || text[at++] != ':') return std::nullopt;
    const auto den = Number(text, at);
    if (!den) return std::nullopt;
    return Ratio{*num, *den};
}

// A side of "WxH": its value, or nothing when it is beyond 2147483647.
std::optional<std::uint32_t> Side(std::string_view digits) {
    std::uint64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 2147483647u) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

// "WxH" alone or before a space ("WxH [SAR 1:1 DAR 4:3]").
bool ReadSize(std::string_view item, PrintedStream& stream) {
    std::size_t x = 0;
    while (x < item.size() && IsDigit(item[x])) ++x;
    if (x == 0 || x >= item.size() || item[x] != 'x') return false;
    std::size_t end = x + 1;
    while (end < item.size() && IsDigit(item[end])) ++end;
    if (end == x + 1 || (end < item.size() && item[end] != ' ')) return false;
    const std::string_view width = item.substr(0, x);
    const std::string_view height = item.substr(x + 1, end - x - 1);
    const auto w = Side(width);
    const auto h = Side(height);
    if (!w || !h) {
        stream.sizeDigits = std::string(!w ? width : height);
    } else {
        stream.size = Frame{*w, *h};
    }
    if (const std::size_t bracket = item.find('[', end); bracket != std::string_view::npos) {
        if (const auto aspect = AspectAt(item.substr(bracket + 1))) stream.sampleAspect = *aspect;
    }
    return true;
}

unsigned ChannelsOf(std::string_view layout) {
    layout = layout.substr(0, layout.find('('));
    if (layout == "mono") return 1;
    if (layout == "stereo" || layout == "downmix") return 2;
    if (layout == "quad") return 4;
    if (layout == "hexagonal") return 6;
    if (layout == "octagonal") return 8;
    if (layout == "hexadecagonal") return 16;
    std::size_t at = 0;
    const auto first = Number(layout, at);
    if (!first) return 0;
    if (layout.substr(at).starts_with(" channels")) return *first;
    if (at < layout.size() && layout[at] == '.') {
        ++at;
        if (const auto second = Number(layout, at)) return *first + *second;
    }
    return 0;
}

// "N kb/s" at the start of `text`.
std::optional<unsigned> BitrateAt(std::string_view text) {
    std::size_t at = 0;
    const auto rate = Number(text, at);
    if (!rate || !text.substr(at).starts_with(kBitrateUnit)) return std::nullopt;
    return rate;
}

// "25 fps", "29.97 fps", "30k fps".
std::optional<double> FrameRateOf(std::string_view item) {
    if (!item.ends_with(kRateUnit)) return std::nullopt;
    item.remove_suffix(kRateUnit.size());
    const bool thousands = item.ends_with('k');
    if (thousands) item.remove_suffix(1);
    double rate = 0;
    const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), rate);
    if (error != std::errc() || end != item.data() + item.size() || !(rate > 0))
        return std::nullopt;
    return thousands ? rate * 1000 : rate;
}

void ReadDescription(PrintedStream& stream) {
    const std::vector<std::string_view> items = Items(stream.description);
    stream.cover = stream.description.find(kCoverMark) != std::string::npos;
    stream.isDefault = stream.description.find(kDefaultMark) != std::string::npos;
    if (stream.kind == "Video") {
        if (items.size() > 1) {
            const std::string_view format = items[1];
            stream.pixelFormat = std::string(format.substr(0, format.find_first_of("( ")));
        }
        bool sized = false;
        for (std::size_t i = 1; i < items.size(); ++i) {
            if (!sized) {
                sized = ReadSize(items[i], stream);
            } else if (const auto aspect = AspectAt(items[i])) {
                // The container's pixel shape, which the coder prefers to the codec's.
                stream.sampleAspect = *aspect;
            } else if (items[i].ends_with(kBitrateUnit)) {
                stream.bitrate = BitrateAt(items[i]);
            } else if (const auto rate = FrameRateOf(items[i])) {
                stream.frameRate = rate;
            }
        }
    } else if (stream.kind == "Audio") {
        for (std::size_t i = 1; i < items.size(); ++i) {
            if (!items[i].ends_with(" Hz")) continue;
            std::size_t at = 0;
            stream.soundRate = Number(items[i], at);
            if (i + 1 < items.size()) stream.channels = ChannelsOf(items[i + 1]);
            break;
        }
    }
}

// "Stream #N:M[0x..](lang): KIND: description", its marks optional; "#N.M" as older coders
// wrote it.
std::optional<PrintedStream> ReadStreamLine(std::string_view line, bool output) {
    if (!line.starts_with(kStreamMark)) return std::nullopt;
    std::size_t at = kStreamMark.size();
    PrintedStream stream;
    stream.output = output;
    const auto file = Number(line, at);
    if (!file || at >= line.size() || (line[at] != ':' && line[at] != '.')) return std::nullopt;
    ++at;
    const auto index = Number(line, at);
    if (!index) return std::nullopt;
    stream.file = *file;
    stream.index = *index;
    if (line.substr(at).starts_with("[0x")) {
        const std::size_t close = line.find(']', at);
        if (close == std::string_view::npos) return std::nullopt;
        at = close + 1;
    }
    if (at < line.size() && line[at] == '(') {
        const std::size_t close = line.find("): ", at);
        if (close == std::string_view::npos) return std::nullopt;
        at = close + 1;
    }
    if (!line.substr(at).starts_with(": ")) return std::nullopt;
    at += 2;
    const std::size_t kindEnd = line.find(": ", at);
    if (kindEnd == std::string_view::npos) {
        stream.kind = std::string(line.substr(at));
    } else {
        stream.kind = std::string(line.substr(at, kindEnd - at));
        stream.description = std::string(line.substr(kindEnd + 2));
    }
    ReadDescription(stream);
    return stream;
}

bool TurnsQuarter(std::string_view line) {
    if (!line.starts_with(kRotationMark)) return false;
    line.remove_prefix(kRotationMark.size());
    const std::string angleText(line.substr(0, line.find(' ')));
    char* end = nullptr;
    const double angle = std::strtod(angleText.c_str(), &end);
    if (angleText.empty() || end != angleText.c_str() + angleText.size()) return false;
    return std::fabs(std::fmod(angle, 180.0)) == 90.0;
}

// Each name as the program passed it and as the coder's log prints it.
std::string Masked(std::string_view text, const std::vector<std::string>& names) {
    std::string masked(text);
    for (const auto& given : names) {
        for (const std::string& name : {given, AsPrinted(given)}) {
            if (name.empty()) continue;
            for (std::size_t at = 0; (at = text.find(name, at)) != std::string_view::npos; ++at)
                std::fill_n(masked.begin() + static_cast<std::ptrdiff_t>(at), name.size(), kMask);
        }
    }
    return masked;
}

std::size_t Indent(std::string_view line) {
    std::size_t indent = 0;
    while (indent < line.size() && line[indent] == ' ') ++indent;
    return indent;
}

// The coder's own indentation: its sections' lines at 2, a stream's metadata and side data at
// 4, a chapter's metadata at 6.
constexpr std::size_t kLineIndent = 2;
constexpr std::size_t kDetailIndent = 4;

// A line the coder writes at 2 after a stream's, a programme's or a chapter's metadata.
bool OpensListing(std::string_view inner) {
    return inner.starts_with(kStreamMark) || inner.starts_with(kProgramMark) ||
           inner.starts_with(kNoProgramMark);
}

// Reads one piece of the printout; after a gap the description is known no further, but in a
// probe's printout, which describes its input alone, the piece goes on where the head ended.
class Reader {
public:
    explicit Reader(CoderPrintout& printout) : m_printout(printout) {}

    void Read(std::string_view text, std::string_view masked, bool cutAtStart, bool cutAtEnd,
              bool continued) {
        text = text.substr(0, text.find('\0'));
        if (!cutAtStart) {
            // Stream lines that start a printout describe its input.
            m_section = Section::Input;
            m_firstInput = true;
        } else if (!continued) {
            m_section = Section::None;
            m_block = Block::None;
            m_stream = kNone;
        }
        std::size_t at = 0;
        if (cutAtStart) at = std::min(masked.find_first_of("\r\n"), text.size());
        while (at < text.size()) {
            const std::size_t end = std::min(masked.find_first_of("\r\n", at), text.size());
            // A line the read limit cut off is no line of the coder's.
            if (end == text.size() && cutAtEnd) break;
            if (end > at) Line(text.substr(at, end - at), masked.substr(at, end - at));
            at = end + 1;
        }
    }

private:
    enum class Section { None, Input, Output, Mapping };
    enum class Block { None, Metadata, Details };

    // A tag's key is printed as it is, line breaks and all: a metadata block ends only at a
    // line the coder writes there, at its own indentation.
    bool EndsMetadata(std::size_t indent, std::string_view inner) const {
        if (m_fileMetadata) {
            if (indent != kLineIndent) return false;
            if (m_section == Section::Input) return inner.starts_with(kDurationMark);
            return OpensListing(inner) || inner.starts_with(kChaptersHead);
        }
        return indent == 0 || (indent == kLineIndent && OpensListing(inner)) ||
               (indent == kDetailIndent &&
                (inner.starts_with(kSideDataHead) || inner.starts_with(kChapterMark)));
    }

    void Line(std::string_view text, std::string_view masked) {
        const std::size_t indent = Indent(masked);
        const std::string_view inner = masked.substr(indent);
        if (m_block == Block::Metadata) {
            if (!EndsMetadata(indent, inner)) return;
            // A stream's side data follows its metadata, among its details.
            const bool details = m_stream != kNone && indent > m_streamIndent;
            OpenBlock(details ? Block::Details : Block::None, m_streamIndent);
        }
        if (indent == 0) return Heading(text, masked);
        if (m_section == Section::None || m_section == Section::Mapping) {
            NoteEstimate(inner);
            return;
        }
        if (m_block == Block::Details && indent > m_blockIndent) {
            if (inner.starts_with(kMetadataHead)) return OpenMetadata(indent, false);
            if (inner.starts_with(kSideDataHead)) return;
            if (auto stream = ReadStreamLine(inner, m_section == Section::Output)) {
                AddStream(std::move(*stream));
                OpenDetails(indent);
            } else if (m_stream != kNone && TurnsQuarter(inner)) {
                // A stream's side data tells how it is turned.
                m_printout.streams[m_stream].turnedQuarter = true;
            }
            return;
        }
        m_block = Block::None;
        if (inner.starts_with(kMetadataHead)) {
            m_stream = kNone;
            OpenMetadata(indent, indent == kLineIndent);
        } else if (inner.starts_with(kChaptersHead) || inner.starts_with(kSideDataHead)) {
            m_stream = kNone;
            OpenMetadata(indent, false);
        } else if (auto stream = ReadStreamLine(inner, m_section == Section::Output)) {
            AddStream(std::move(*stream));
            m_sectionStreams = true;
            // Its details (side data written without a heading) stand deeper than it.
            OpenDetails(indent);
        } else if (inner.starts_with(kDurationMark)) {
            m_stream = kNone;
            // The coder writes the input's duration once, before its stream lines.
            if (m_section == Section::Input && m_firstInput && !m_sectionStreams) {
                const auto duration = ParseClockTime(inner.substr(kDurationMark.size()));
                m_printout.inputDuration =
                    duration && *duration > 0 ? duration : std::optional<double>();
                if (const std::size_t at = inner.find(kBitrateMark); at != std::string_view::npos)
                    m_printout.inputBitrate = BitrateAt(inner.substr(at + kBitrateMark.size()));
            }
        } else {
            m_stream = kNone;
            NoteEstimate(inner);
        }
    }

    void Heading(std::string_view text, std::string_view masked) {
        m_block = Block::None;
        m_stream = kNone;
        m_sectionStreams = false;
        if (IsFileHeading(masked, kInputHead)) {
            m_section = Section::Input;
            m_firstInput = !m_printout.anyInput;
            m_printout.anyInput = true;
            if (m_firstInput) m_printout.inputFormat = FormatOf(masked);
            return;
        }
        if (IsFileHeading(masked, kOutputHead)) {
            m_section = Section::Output;
            return;
        }
        m_section = masked.starts_with(kMappingHead) ? Section::Mapping : Section::None;
        if (m_section == Section::Mapping || masked.starts_with(kPressHead)) return;
        const bool progress = IsProgressLine(masked);
        if (progress && masked.rfind(kClockMark) != std::string_view::npos)
            m_printout.lastProgressTime = ProgressTime(masked);
        NoteEstimate(masked);
        m_printout.others.push_back({std::string(text), std::string(masked), progress});
    }

    void NoteEstimate(std::string_view line) {
        if (WithoutLogPrefixes(line).starts_with(kEstimatedMark))
            m_printout.durationEstimated = true;
    }

    void OpenBlock(Block block, std::size_t indent) {
        m_block = block;
        m_blockIndent = indent;
    }

    void OpenDetails(std::size_t indent) {
        OpenBlock(Block::Details, indent);
        m_streamIndent = indent;
    }

    void OpenMetadata(std::size_t indent, bool ofFile) {
        OpenBlock(Block::Metadata, indent);
        m_fileMetadata = ofFile;
    }

    void AddStream(PrintedStream stream) {
        // A stream of several programmes is listed under each.
        const auto key = std::make_tuple(stream.output, stream.file, stream.index);
        if (!m_seen.insert(key).second) {
            m_stream = kNone;
            return;
        }
        m_printout.streams.push_back(std::move(stream));
        m_stream = m_printout.streams.size() - 1;
    }

    CoderPrintout& m_printout;
    Section m_section = Section::None;
    bool m_firstInput = false;
    bool m_sectionStreams = false;  // a stream line of this section was read
    Block m_block = Block::None;
    std::size_t m_blockIndent = 0;
    bool m_fileMetadata = false;  // the metadata block is the file's
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t m_stream = kNone;  // the stream whose details may follow
    std::size_t m_streamIndent = 0;
    std::set<std::tuple<bool, unsigned, unsigned>> m_seen;
};

// The best stream of `kind` of the first input by `score`, the first of equals.
template <class Score>
const PrintedStream* Best(const std::vector<PrintedStream>& streams, std::string_view kind,
                          Score score) {
    const PrintedStream* best = nullptr;
    std::uint64_t bestScore = 0;
    for (const auto& stream : streams) {
        if (stream.output || stream.file != 0 || stream.kind != kind || stream.cover) continue;
        const std::uint64_t value = score(stream) + (stream.isDefault ? kDefaultBonus : 0);
        if (!best || value > bestScore) {
            best = &stream;
            bestScore = value;
        }
    }
    return best;
}

}  // namespace

std::size_t LogPrefixLength(std::string_view line) {
    if (line.empty() || line.front() != '[') return 0;
    const std::size_t close = line.find("] ");
    const std::size_t at = line.find(" @ 0x");
    if (close == std::string_view::npos || at == std::string_view::npos || at > close) return 0;
    return close + 2;
}

std::string_view WithoutLogPrefixes(std::string_view line) {
    while (const std::size_t length = LogPrefixLength(line)) line.remove_prefix(length);
    return line;
}

std::optional<double> ProgressTime(std::string_view line) {
    const std::size_t time = line.rfind(kClockMark);
    if (!IsProgressLine(line) || time == std::string_view::npos) return std::nullopt;
    const std::string_view value = line.substr(time + kClockMark.size());
    return value.starts_with("N/A") ? std::optional<double>(0.0) : ParseClockTime(value);
}

std::optional<double> ParseClockTime(std::string_view text) {
    std::size_t at = 0;
    const auto hours = Number(text, at);
    if (!hours || at >= text.size() || text[at++] != ':') return std::nullopt;
    const auto minutes = Number(text, at);
    if (!minutes || at >= text.size() || text[at++] != ':') return std::nullopt;
    const auto seconds = Number(text, at);
    if (!seconds) return std::nullopt;
    double fraction = 0;
    if (at < text.size() && text[at] == '.') {
        double scale = 0.1;
        for (++at; at < text.size() && IsDigit(text[at]); ++at, scale /= 10)
            fraction += (text[at] - '0') * scale;
    }
    return *hours * 3600.0 + *minutes * 60.0 + *seconds + fraction;
}

PrintedEnds ReadPrintedEnds(Files& files, const std::string& path, std::size_t headLimit,
                            std::size_t tailLimit, bool required) {
    const FileStatus status = files.StatusOf(path);
    // The whole of nothing, or the failure to open it with its reason.
    if (required && status.kind != FileKind::Regular) return {files.ReadAll(path), {}, false};
    const std::uint64_t size = status.size;
    PrintedEnds ends;
    if (size <= headLimit + tailLimit) {
        ends.head = files.ReadFrom(path, 0, headLimit + tailLimit);
        return ends;
    }
    ends.head = files.ReadFrom(path, 0, headLimit);
    ends.tail = files.ReadFrom(path, size - tailLimit, tailLimit);
    ends.gap = true;
    return ends;
}

std::string AsPrinted(std::string_view name) {
    std::string printed(name);
    for (char& c : printed) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x08 || (byte > 0x0D && byte < 0x20)) c = '?';
    }
    return printed;
}

CoderPrintout ReadCoderPrintout(std::string_view head, std::string_view tail,
                                const std::vector<std::string>& names, bool gap, bool oneInput) {
    CoderPrintout printout;
    Reader reader(printout);
    const auto piece = [&](std::string_view text, bool cutAtStart, bool cutAtEnd) {
        const std::string masked = Masked(text, names);
        reader.Read(text, masked, cutAtStart, cutAtEnd, oneInput);
    };
    piece(head, false, gap);
    if (gap) piece(tail, true, false);
    return printout;
}

const PrintedStream* CoderPrintout::ChosenVideo() const {
    return Best(streams, "Video", [](const PrintedStream& stream) -> std::uint64_t {
        return stream.size ? std::uint64_t{stream.size->width} * stream.size->height : 0;
    });
}

const PrintedStream* CoderPrintout::ChosenSound() const {
    return Best(streams, "Audio",
                [](const PrintedStream& stream) -> std::uint64_t { return stream.channels; });
}

const PrintedStream* CoderPrintout::OutputVideo() const {
    for (const auto& stream : streams)
        if (stream.output && stream.file == 0 && stream.kind == "Video" && !stream.cover)
            return &stream;
    return nullptr;
}

}  // namespace lmk
