// "music.dll": files audio files under the root tag "Music" by the tags inside them, read with
// TagLib (ID3v1/v2, Vorbis comments, FLAC, MP4, ASF, APE, RIFF and more):
//
//   Music
//     Artist  -> one tag per artist
//     Album   -> one tag per album
//     Genre   -> one tag per genre
//     Year    -> one tag per year of release
//
// Four flat facets rather than Artist > Album nesting: opening a tag in the Quibrix folder
// lists the root's scopes again with the counts of the files that carry the tag, so choosing
// an artist and then one of the albums or years shown beside it narrows the view step by step,
// and every facet works alone too ("all Jazz", "all of 1977"). Nesting would make an artist a
// scope, which cannot carry files itself, so "all songs of this artist" would be lost; and a
// song without an album could not be filed below its artist at all.
#include "plugin_kit.h"
#include "safe_names.h"

#include <fileref.h>
#include <tag.h>
#include <tfilestream.h>
#include <tpropertymap.h>

#include <objbase.h>

#include <string>
#include <vector>

using autotag::PluginNode;
using autotag::plugin_bool;

namespace {

// A hostile file may list thousands of values; a song needs a few.
const unsigned max_values_per_scope = 8;

const wchar_t root_name[] = L"Music";

// Lower and upper case: the host matches extensions exactly, and both are common.
const wchar_t* const claimed_extensions[] = {
    L"mp3", L"flac", L"ogg", L"oga", L"opus", L"m4a", L"wma", L"wav", L"aif", L"aiff", L"ape", L"wv", L"mpc", L"spx",
    L"MP3", L"FLAC", L"OGG", L"OGA", L"OPUS", L"M4A", L"WMA", L"WAV", L"AIF", L"AIFF", L"APE", L"WV", L"MPC", L"SPX",
};

void add_values(plugin_kit::NameDraft& root, const wchar_t* scope, const TagLib::StringList& values) {
    unsigned taken = 0;
    for (TagLib::StringList::ConstIterator it = values.begin(); it != values.end() && taken < max_values_per_scope;
         ++it, ++taken) {
        root.add_tag(scope, plugin_kit::safe_name(it->toWString()));
    }
}

// The year of a date text such as "1977", "1977-05-25" or "1977-05-25 12:00": four digits at
// its start, not followed by a fifth.
std::wstring year_of(const TagLib::String& date) {
    const std::wstring text = date.toWString();
    std::size_t i = 0;
    while (i < text.size() && text[i] == L' ') ++i;
    if (text.size() - i < 4) return std::wstring();
    unsigned year = 0;
    for (std::size_t k = i; k < i + 4; ++k) {
        if (text[k] < L'0' || text[k] > L'9') return std::wstring();
        year = year * 10 + static_cast<unsigned>(text[k] - L'0');
    }
    if (i + 4 < text.size() && text[i + 4] >= L'0' && text[i + 4] <= L'9') return std::wstring();
    if (year < 1000) return std::wstring();
    return text.substr(i, 4);
}

TagLib::StringList values_of(const TagLib::PropertyMap& properties, const char* key) {
    TagLib::PropertyMap::ConstIterator found = properties.find(key);
    return found == properties.end() ? TagLib::StringList() : found->second;
}

bool read_tags(const wchar_t* file_path, plugin_kit::NameDraft& root) {
    // Read-only, so that tagging never opens a user's file for writing: TagLib's own file
    // opening asks for write access first.
    TagLib::FileStream stream(file_path, true);
    if (!stream.isOpen()) return false;
    TagLib::FileRef file(&stream, false);
    if (file.isNull() || !file.tag()) return false;
    const TagLib::PropertyMap properties = file.file()->properties();
    add_values(root, L"Artist", values_of(properties, "ARTIST"));
    add_values(root, L"Album", values_of(properties, "ALBUM"));
    add_values(root, L"Genre", values_of(properties, "GENRE"));
    // Every format's date (ID3's TDRC or TYER, Vorbis DATE, MP4's day, ...) arrives as DATE.
    const TagLib::StringList dates = values_of(properties, "DATE");
    if (!dates.isEmpty()) root.add_tag(L"Year", year_of(dates.front()));
    return !root.empty();
}

}  // namespace

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI GetExts(wchar_t*** exts, std::uint32_t* count) {
    if (!exts || !count) return 0;
    try {
        const std::vector<std::wstring> list(std::begin(claimed_extensions), std::end(claimed_extensions));
        return plugin_kit::answer_extensions(list, exts, count) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI GetDescription(wchar_t** description) {
    if (!description) return 0;
    try {
        return plugin_kit::answer_text(L"Music: artist, album, genre and year from audio tags", description) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI FillNode(const wchar_t* file_path, PluginNode** root) {
    return plugin_kit::fill_node(file_path, root, root_name, read_tags);
}

// Required by the host, never called by it.
QUIBRIX_PLUGIN_EXPORT plugin_bool WINAPI SaveNode() {
    return 0;
}
