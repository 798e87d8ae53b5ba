// iXML fields through pugixml.
#include "ixml.h"

#include <charconv>
#include <cstring>
#include <pugixml.hpp>
#include <strings.h>

namespace
{

std::optional<std::string> ChildText(const pugi::xml_node& root, const char* name)
{
    const pugi::xml_node child = root.child(name);
    if (!child)
        return std::nullopt;
    return std::string(child.text().get());
}

std::optional<bool> Circled(const pugi::xml_node& root)
{
    const std::optional<std::string> text = ChildText(root, "CIRCLED");
    if (!text)
        return std::nullopt;
    if (strcasecmp(text->c_str(), "TRUE") == 0)
        return true;
    if (strcasecmp(text->c_str(), "FALSE") == 0)
        return false;
    return std::nullopt;
}

std::vector<IxmlTrack> Tracks(const pugi::xml_node& root)
{
    std::vector<IxmlTrack> tracks;
    for (const pugi::xml_node track : root.child("TRACK_LIST").children("TRACK")) {
        IxmlTrack t;
        t.interleaveIndex = DecimalNumber(track.child("INTERLEAVE_INDEX").text().get());
        t.channelIndex = DecimalNumber(track.child("CHANNEL_INDEX").text().get());
        t.name = ChildText(track, "NAME");
        tracks.push_back(std::move(t));
    }
    return tracks;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::optional<int64_t> DecimalNumber(const char* text)
{
    const char* begin = text;
    const char* end = text + std::strlen(text);
    while (begin < end && IsBlank(*begin))
        begin++;
    while (end > begin && IsBlank(end[-1]))
        end--;
    if (begin == end || !(*begin == '-' || (*begin >= '0' && *begin <= '9')))
        return std::nullopt;
    int64_t value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

IxmlFields ParseIxml(char* text, size_t size)
{
    IxmlFields fields;
    pugi::xml_document doc;
    // The default flags leave DOCTYPE declarations unparsed and expand only
    // the five predefined entities and character references.
    const pugi::xml_parse_result parsed = doc.load_buffer_inplace(text, size);
    if (!parsed)
        return fields;
    fields.wellFormed = true;
    const pugi::xml_node root = doc.document_element();
    fields.project = ChildText(root, "PROJECT");
    fields.scene = ChildText(root, "SCENE");
    fields.take = ChildText(root, "TAKE");
    fields.tape = ChildText(root, "TAPE");
    fields.note = ChildText(root, "NOTE");
    fields.circled = Circled(root);
    fields.tracks = Tracks(root);
    return fields;
}
