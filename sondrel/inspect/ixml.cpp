// iXML fields through pugixml.
#include "inspect/ixml.h"

#include "file_text.h"

#include <charconv>
#include <cstring>
#include <pugixml.hpp>
#include <string_view>
#include <strings.h>

namespace sondrel {

namespace
{

// An element's text: its text and CDATA children joined, comments and
// child elements left out.  The parse keeps a first text in the element
// itself (half the nodes for a long TRACK_LIST).
std::optional<std::string> ChildText(const pugi::xml_node& root, const char* name)
{
    const pugi::xml_node child = root.child(name);
    if (!child)
        return std::nullopt;
    std::string text = child.value();
    for (const pugi::xml_node part : child.children())
        if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata)
            text += part.value();
    return text;
}

std::optional<bool> Circled(const pugi::xml_node& root)
{
    const std::optional<std::string> text = ChildText(root, "CIRCLED");
    if (!text)
        return std::nullopt;
    const std::string word(TrimBlanks(*text));
    if (strcasecmp(word.c_str(), "TRUE") == 0)
        return true;
    if (strcasecmp(word.c_str(), "FALSE") == 0)
        return false;
    return std::nullopt;
}

// The elements whose values other chunks also state.
void ReadStated(const pugi::xml_node& root, IxmlFields& f)
{
    const pugi::xml_node bext = root.child("BEXT");
    const pugi::xml_node speed = root.child("SPEED");
    f.timeReferenceLow = ChildText(bext, "BWF_TIME_REFERENCE_LOW");
    f.timeReferenceHigh = ChildText(bext, "BWF_TIME_REFERENCE_HIGH");
    f.midnightLo = ChildText(speed, "TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_LO");
    f.midnightHi = ChildText(speed, "TIMESTAMP_SAMPLES_SINCE_MIDNIGHT_HI");
    f.fileSampleRate = ChildText(speed, "FILE_SAMPLE_RATE");
    f.audioBitDepth = ChildText(speed, "AUDIO_BIT_DEPTH");
    f.trackCount = ChildText(root.child("TRACK_LIST"), "TRACK_COUNT");
}

// pugixml is lenient where XML is strict; these are the rules it lets pass.

// One root element and no text beside it.
bool OneRootElement(const pugi::xml_document& doc)
{
    int elements = 0;
    for (const pugi::xml_node n : doc.children()) {
        if (n.type() == pugi::node_element)
            elements++;
        else if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata)
            return false;
    }
    return elements == 1;
}

bool AttributesUnique(const pugi::xml_node& element)
{
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute())
        for (pugi::xml_attribute b = a.next_attribute(); b; b = b.next_attribute())
            if (std::strcmp(a.name(), b.name()) == 0)
                return false;
    return true;
}

bool IsXmlChar(unsigned long c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// A reference as written, "&name;" or "&#...;", at `p`: a character it may
// name, or one of the five predefined entities (any name with a DOCTYPE,
// whose declarations are not read).  Returns the length, 0 when invalid.
size_t ReferenceLength(const char* p, bool declaredEntities)
{
    // Names are short; looking no further keeps a run of '&' from costing
    // the square of its length.
    const char* end = static_cast<const char*>(std::memchr(p, ';', strnlen(p, 258)));
    if (!end || end == p + 1)
        return 0;
    const std::string name(p + 1, end);
    if (name[0] == '#') {
        const bool hex = name.size() > 1 && name[1] == 'x';
        const std::string digits = name.substr(hex ? 2 : 1);
        if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF"
                                                           : "0123456789") != std::string::npos)
            return 0;
        const unsigned long code =
            digits.size() > 8 ? 0 : std::stoul(digits, nullptr, hex ? 16 : 10);
        return IsXmlChar(code) ? name.size() + 2 : 0;
    }
    static const char* const Predefined[] = {"lt", "gt", "amp", "apos", "quot"};
    for (const char* known : Predefined)
        if (name == known)
            return name.size() + 2;
    return declaredEntities && name.find_first_of(" \t<&") == std::string::npos ? name.size() + 2
                                                                                : 0;
}

bool ReferencesValid(const char* text, bool declaredEntities)
{
    for (const char* p = std::strchr(text, '&'); p; p = std::strchr(p + 1, '&'))
        if (ReferenceLength(p, declaredEntities) == 0)
            return false;
    return true;
}

// Visits every element, text and attribute value of a document.
template <typename Check> bool EveryNode(const pugi::xml_document& doc, Check check)
{
    struct Walker : pugi::xml_tree_walker {
        Check* check;
        bool ok = true;
        bool for_each(pugi::xml_node& n) override { return ok = (*check)(n); }
    } walker;
    walker.check = &check;
    pugi::xml_node root = doc;
    root.traverse(walker);
    return walker.ok;
}

bool AllAttributesUnique(const pugi::xml_document& doc)
{
    return EveryNode(doc, [](const pugi::xml_node& n) {
        return n.type() != pugi::node_element || AttributesUnique(n);
    });
}

// The references in text and attribute values, read from a parse that does
// not expand them.  The parse is in place: the text is overwritten.
bool ReferencesWellFormed(char* text, size_t size)
{
    pugi::xml_document raw;
    const unsigned flags = (pugi::parse_default | pugi::parse_doctype | pugi::parse_embed_pcdata) &
                           ~pugi::parse_escapes;
    if (!raw.load_buffer_inplace(text, size, flags))
        return false;
    bool declared = false;
    for (const pugi::xml_node n : raw.children())
        declared = declared || n.type() == pugi::node_doctype;
    return EveryNode(raw, [declared](const pugi::xml_node& n) {
        // An element's value is the first text that the parse kept in it.
        if ((n.type() == pugi::node_pcdata || n.type() == pugi::node_element) &&
            !ReferencesValid(n.value(), declared))
            return false;
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
            if (!ReferencesValid(a.value(), declared))
                return false;
        return true;
    });
}

} // namespace

std::optional<int64_t> DecimalNumber(const char* text)
{
    const std::string_view trimmed = TrimBlanks(text);
    const char* begin = trimmed.data();
    const char* end = begin + trimmed.size();
    if (begin == end || !(*begin == '-' || (*begin >= '0' && *begin <= '9')))
        return std::nullopt;
    int64_t value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

struct IxmlDocument::Tree {
    std::vector<unsigned char> body;
    pugi::xml_document doc;
    pugi::xml_node root; // null when not well-formed
};

IxmlDocument::IxmlDocument(const std::function<std::vector<unsigned char>()>& readBody)
    : tree(std::make_unique<Tree>())
{
    tree->body = readBody();
    auto text = [this] { return reinterpret_cast<char*>(tree->body.data()); };
    auto size = [this, &text] {
        return tree->body.empty() ? 0 : strnlen(text(), tree->body.size());
    };
    // References are checked on a first parse that keeps them as written.
    // It overwrites the body, which is then read again: a copy of a body
    // near the size cap would cost more than reading it from the page cache.
    if (size() > 0 && std::memchr(text(), '&', size())) {
        const size_t checkedSize = size();
        const size_t checkedHash = std::hash<std::string_view>{}({text(), checkedSize});
        if (!ReferencesWellFormed(text(), checkedSize)) {
            tree.reset();
            return;
        }
        tree->body = readBody();
        // Only the text that was checked is vouched for: a body that changed
        // between the reads (the file rewritten meanwhile) is not.
        if (size() != checkedSize ||
            std::hash<std::string_view>{}({text(), size()}) != checkedHash) {
            tree.reset();
            return;
        }
    }
    // The default flags leave DOCTYPE declarations unparsed and expand only
    // the five predefined entities and character references; as a fragment,
    // text beside the root element is kept, so that it can be refused.
    pugi::xml_document& doc = tree->doc;
    const pugi::xml_parse_result parsed = doc.load_buffer_inplace(
        text(), size(), pugi::parse_default | pugi::parse_fragment | pugi::parse_embed_pcdata);
    if (!parsed || !OneRootElement(doc) || !AllAttributesUnique(doc)) {
        tree.reset(); // nothing of a malformed document is reported
        return;
    }
    fields.wellFormed = true;
    const pugi::xml_node root = tree->root = doc.document_element();
    fields.project = ChildText(root, "PROJECT");
    fields.scene = ChildText(root, "SCENE");
    fields.take = ChildText(root, "TAKE");
    fields.tape = ChildText(root, "TAPE");
    fields.note = ChildText(root, "NOTE");
    fields.circled = Circled(root);
    ReadStated(root, fields);
}

IxmlDocument::~IxmlDocument() = default;
IxmlDocument::IxmlDocument(IxmlDocument&&) noexcept = default;
IxmlDocument& IxmlDocument::operator=(IxmlDocument&&) noexcept = default;

void IxmlDocument::ForEachTrack(const std::function<void(const IxmlTrack&)>& visit) const
{
    if (!tree)
        return;
    for (const pugi::xml_node track : tree->root.child("TRACK_LIST").children("TRACK")) {
        IxmlTrack t;
        t.interleaveIndex =
            DecimalNumber(ChildText(track, "INTERLEAVE_INDEX").value_or("").c_str());
        t.channelIndex = DecimalNumber(ChildText(track, "CHANNEL_INDEX").value_or("").c_str());
        t.name = ChildText(track, "NAME");
        visit(t);
    }
}

} // namespace sondrel
