// Metadata that nobody should trust: tags this test writes on purpose with control characters,
// embedded NULs, invalid UTF-8 and UTF-16, names that are not file names, texts far too long,
// and files cut short or overwritten at every few bytes. No plug-in may crash, hand over an
// unsafe name, or let the database write outside its data folder.
#include "real_plugins_fixture.h"

#include "safe_names.h"
#include "util/file_names.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

using plugin_kit::safe_name;
using plugin_kit::safe_name_utf8;

namespace {

typedef std::vector<std::wstring> names;

// --- ID3v2.4 -----------------------------------------------------------------------------------

std::string syncsafe(std::uint32_t n) {
    std::string out(4, '\0');
    for (int i = 3; i >= 0; --i, n >>= 7) out[i] = static_cast<char>(n & 0x7F);
    return out;
}

std::string frame(const char* id, const std::string& data) {
    return std::string(id, 4) + syncsafe(static_cast<std::uint32_t>(data.size())) + std::string(2, '\0') + data;
}

std::string latin1(const std::string& text) { return std::string(1, '\0') + text; }
std::string utf8(const std::string& text) { return std::string(1, '\x03') + text; }
std::string utf16(const std::wstring& text) {
    std::string out("\x01\xFF\xFE", 3);
    for (wchar_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>((c >> 8) & 0xFF);
    }
    return out;
}

std::string id3v24(const std::string& frames) {
    return std::string("ID3\x04\x00\x00", 6) + syncsafe(static_cast<std::uint32_t>(frames.size())) + frames;
}

// --- FLAC Vorbis comments ----------------------------------------------------------------------

std::string le32(std::uint32_t n) {
    std::string out;
    for (int i = 0; i < 4; ++i, n >>= 8) out += static_cast<char>(n & 0xFF);
    return out;
}

// The FLAC sample with its comment block replaced by `comments` (each "KEY=value", raw bytes).
std::string flac_with_comments(const std::string& flac, const std::vector<std::string>& comments,
                               std::uint32_t claimed_count = 0) {
    std::string block = le32(6) + "hostil" + le32(claimed_count ? claimed_count : static_cast<std::uint32_t>(comments.size()));
    for (const std::string& c : comments) block += le32(static_cast<std::uint32_t>(c.size())) + c;
    std::string out = flac.substr(0, 4);  // "fLaC"
    std::size_t pos = 4;
    bool last = false;
    while (!last && pos + 4 <= flac.size()) {
        const unsigned char header = static_cast<unsigned char>(flac[pos]);
        last = (header & 0x80) != 0;
        const std::size_t length = (static_cast<unsigned char>(flac[pos + 1]) << 16) |
                                   (static_cast<unsigned char>(flac[pos + 2]) << 8) | static_cast<unsigned char>(flac[pos + 3]);
        if ((header & 0x7F) == 4) {
            out += static_cast<char>(header);
            out += static_cast<char>((block.size() >> 16) & 0xFF);
            out += static_cast<char>((block.size() >> 8) & 0xFF);
            out += static_cast<char>(block.size() & 0xFF);
            out += block;
        } else {
            out += flac.substr(pos, 4 + length);
        }
        pos += 4 + length;
    }
    return out + flac.substr(pos);
}

// --- EXIF in a JPEG ----------------------------------------------------------------------------

struct exif_entry {
    std::uint16_t tag;
    std::string value;       // raw bytes, terminator included where wanted
    std::uint32_t count = 0;  // 0: the value's size
};

std::string le16(std::uint16_t n) { return std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)}; }

// A JPEG whose APP1 holds a little-endian TIFF block with the ASCII entries in IFD0.
std::string jpeg_with_exif(const std::vector<exif_entry>& entries, std::uint32_t ifd_offset = 8) {
    std::string tiff = std::string("II*\0", 4) + le32(ifd_offset);
    std::string data;
    const std::uint32_t data_start = 8 + 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
    std::string ifd = le16(static_cast<std::uint16_t>(entries.size()));
    for (const exif_entry& e : entries) {
        const std::uint32_t count = e.count ? e.count : static_cast<std::uint32_t>(e.value.size());
        ifd += le16(e.tag) + le16(2) + le32(count);
        if (e.value.size() <= 4) {
            ifd += e.value + std::string(4 - e.value.size(), '\0');
        } else {
            ifd += le32(data_start + static_cast<std::uint32_t>(data.size()));
            data += e.value;
        }
    }
    tiff += ifd + le32(0) + data;
    const std::string app1 = std::string("Exif\0\0", 6) + tiff;
    const std::size_t length = app1.size() + 2;
    return std::string("\xFF\xD8\xFF\xE1", 4) + static_cast<char>(length >> 8) + static_cast<char>(length & 0xFF) + app1 +
           std::string("\xFF\xD9", 2);
}

const std::uint16_t tag_make = 0x010F, tag_model = 0x0110, tag_date = 0x0132;

class HostileMetadataTest : public RealPluginTest {
protected:
    // Writes `bytes` under `name` in the files folder and asks `dll` about it.
    RawAnswer ask_about(const std::wstring& dll, const std::wstring& name, const std::string& bytes) {
        const std::wstring path = files.path() + name;
        write_file_bytes(path, bytes);
        return ask(dll, path);
    }
    std::string audio() const { return sample_bytes(L"untagged.mp3"); }
};

}  // namespace

TEST(SafeNames, MetadataTextBecomesOneHarmlessFileNameOrNothing) {
    const std::wstring note(L"\xD83C\xDFB5");  // U+1F3B5, a surrogate pair
    const struct {
        std::wstring text;
        std::wstring name;
    } cases[] = {
        {L"  Rock  ", L"Rock"},
        {std::wstring(L"Rock\0\0", 6), L"Rock"},  // padding of fixed-size fields
        {std::wstring(L"Ro\0ck", 5), L""},         // an embedded NUL hides the rest from C code
        {L"a/b:c", L"a.b.c"},
        {L"<x>|\"y\"*?\\", L".x...y"},
        {L"Who?", L"Who"},  // the full stop would be stripped by Windows
        {L" ... ", L""},
        {L"..", L""},
        {L"CON", L""},
        {L"com1.txt", L""},
        {L"Con Brio", L"Con Brio"},
        {L"Tab\tName", L""},
        {L"Esc\x1B[31m", L""},
        {L"Next\x0085Line", L""},
        {L"Del\x007F", L""},
        {L"\xD800x", L""},
        {L"x\xDC00", L""},
        {note + L" Song", note + L" Song"},
        {L"\x202E" L"3pm.exe", L""},
        {L"Line\x2028Two", L""},
        {L"\xFEFF" L"Bom", L""},
        {L"Caf\x00E9", L"Caf\x00E9"},
        {std::wstring(100, L'a'), std::wstring(79, L'a') + L"\x2026"},
        // Cut between the halves of a pair: the whole pair goes.
        {std::wstring(78, L'a') + note + L"tail", std::wstring(78, L'a') + L"\x2026"},
        {std::wstring(70, L'a') + std::wstring(20, L' ') + L"b", std::wstring(70, L'a') + L"\x2026"},
    };
    for (const auto& c : cases) {
        const std::wstring got = safe_name(c.text);
        EXPECT_EQ(c.name, got) << "case of " << c.text.size() << " units";
        EXPECT_TRUE(got.empty() || is_safe_tag_name(got));
    }

    const struct {
        std::string bytes;
        std::wstring name;
    } utf8_cases[] = {
        {"Caf\xC3\xA9", L"Caf\x00E9"},
        {std::string("Canon\0\0\0", 8), L"Canon"},
        {"\xF0\x9F\x8E\xB5", note},
        {"Caf\xC3", L""},          // cut inside a character
        {"\xC0\xAF", L""},         // overlong "/"
        {"\xE0\x80\xAF", L""},     // overlong "/" in three bytes
        {"\xED\xA0\x80", L""},     // an encoded surrogate
        {"\xF4\x90\x80\x80", L""}, // beyond U+10FFFF
        {"\x80" "abc", L""},       // a continuation byte first
        {"\xFF\xFE", L""},
    };
    for (const auto& c : utf8_cases) {
        EXPECT_EQ(c.name, safe_name_utf8(c.bytes.data(), c.bytes.size())) << c.bytes;
    }
}

TEST_F(HostileMetadataTest, Id3TagsKeepOnlyTheSafeNames) {
    const std::string mp3 = audio();
    const struct {
        const wchar_t* file;
        std::string tag;
        names expected;  // empty: no tree at all
    } cases[] = {
        {L"controls.mp3",
         id3v24(frame("TPE1", latin1("Good Artist")) + frame("TCON", latin1("Ro\x01" "ck")) +
                frame("TALB", latin1("Tab\tAlbum")) + frame("TDRC", latin1("0000"))),
         {L"Music/Artist/Good Artist"}},
        // ID3v2.4 separates several values by NUL: each becomes a tag.
        {L"values.mp3", id3v24(frame("TPE1", latin1(std::string("First\0Second", 12))) + frame("TDRC", latin1("2024-13-45"))),
         {L"Music/Artist/First", L"Music/Artist/Second", L"Music/Year/2024"}},
        {L"utf16.mp3",
         id3v24(frame("TPE1", utf16(L"Ab\xD800" L"c")) + frame("TALB", utf16(L"Album \xD83C\xDFB5")) +
                frame("TCON", utf16(L"\x202E" L"kcor"))),
         {L"Music/Album/Album \xD83C\xDFB5"}},
        {L"utf8.mp3",
         id3v24(frame("TPE1", utf8("Caf\xC3")) + frame("TALB", utf8("\xC0\xAF")) + frame("TCON", utf8("\xC3\x89lectro"))),
         {L"Music/Genre/\x00C9lectro"}},
        {L"names.mp3",
         id3v24(frame("TPE1", latin1(std::string("CON\0  ...  \0Lpt1\0Real Name", 26))) +
                frame("TALB", latin1("..\\..\\..\\Windows\\evil")) + frame("TCON", latin1("nul.txt"))),
         {L"Music/Album/.........Windows.evil", L"Music/Artist/Real Name"}},
        {L"bidi.mp3", id3v24(frame("TPE1", utf16(L"\x202E" L"gnp.exe")) + frame("TDRC", latin1("99999"))), {}},
    };
    for (const auto& c : cases) {
        const RawAnswer answer = ask_about(L"music.dll", c.file, c.tag + mp3);
        const std::string file(c.file, c.file + wcslen(c.file));
        EXPECT_EQ(!c.expected.empty(), answer.filled) << file;
        EXPECT_EQ(c.expected, answer.chains) << file;
        EXPECT_EQ(names(), answer.unsafe) << file;
    }

    // A text of 5000 characters and 1000 artists: cut to a name of 80, and a few artists.
    std::string artists;
    for (int i = 1; i <= 1000; ++i) artists += (i > 1 ? std::string(1, '\0') : std::string()) + "A" + std::to_string(i);
    const RawAnswer big =
        ask_about(L"music.dll", L"big.mp3", id3v24(frame("TALB", latin1(std::string(5000, 'x'))) + frame("TPE1", latin1(artists))) + mp3);
    ASSERT_TRUE(big.filled);
    EXPECT_EQ(names(), big.unsafe);
    const names expected_big = {L"Music/Album/" + std::wstring(79, L'x') + L"\x2026", L"Music/Artist/A1", L"Music/Artist/A2",
                                L"Music/Artist/A3", L"Music/Artist/A4", L"Music/Artist/A5", L"Music/Artist/A6",
                                L"Music/Artist/A7", L"Music/Artist/A8"};
    EXPECT_EQ(expected_big, big.chains);

    // Sizes that lie: a tag claiming a megabyte, a frame longer than its tag.
    std::string lying = id3v24(frame("TPE1", latin1("Liar")));
    lying.replace(6, 4, syncsafe(1 << 20));
    EXPECT_EQ(names(), ask_about(L"music.dll", L"lying.mp3", lying + mp3).unsafe);
    std::string long_frame = id3v24(frame("TPE1", latin1("Liar")));
    long_frame.replace(14, 4, syncsafe(100000));
    EXPECT_EQ(names(), ask_about(L"music.dll", L"long-frame.mp3", long_frame + mp3).unsafe);
}

TEST_F(HostileMetadataTest, VorbisCommentsKeepOnlyTheSafeNames) {
    const std::string flac = sample_bytes(L"song.flac");
    const RawAnswer answer = ask_about(
        L"music.dll", L"hostile.flac",
        flac_with_comments(flac, {"ARTIST=Bad\xFF\xFE" "name", "ARTIST=Ok Name", std::string("GENRE=Emb\0edded", 15),
                                  "ALBUM=\x1B[31mred", "DATE=1984", "ALBUM=../../x"}));
    ASSERT_TRUE(answer.filled);
    // TagLib ends a comment's text at an embedded NUL: what follows never reaches a name.
    EXPECT_EQ((names{L"Music/Album/......x", L"Music/Artist/Ok Name", L"Music/Genre/Emb", L"Music/Year/1984"}),
              answer.chains);
    EXPECT_EQ(names(), answer.unsafe);

    // A block that claims four billion comments.
    const RawAnswer lying = ask_about(L"music.dll", L"lying.flac", flac_with_comments(flac, {"ARTIST=A"}, 0xFFFFFFFFu));
    EXPECT_EQ(names(), lying.unsafe);
}

TEST_F(HostileMetadataTest, ExifKeepsOnlyTheSafeNames) {
    const struct {
        const wchar_t* file;
        std::string jpeg;
        names expected;
    } cases[] = {
        {L"controls.jpg",
         jpeg_with_exif({{tag_make, std::string("Can\x07on", 7) + '\0'}, {tag_model, "EOS R"},  // no terminator
                         {tag_date, std::string("0000:00:00 00:00:00", 19) + '\0'}}),
         {L"Photos/Model/EOS R"}},
        {L"names.jpg",
         jpeg_with_exif({{tag_make, std::string("CON\0", 4)}, {tag_model, std::string("../../Windows/x\0", 16)},
                         {tag_date, std::string("2020:02:29 10:00:00\0", 20)}}),
         {L"Photos/Model/......Windows.x", L"Photos/Month/2020-02", L"Photos/Year/2020"}},
        // Text after the terminator is not part of the name.
        {L"encoding.jpg",
         jpeg_with_exif({{tag_make, std::string("Ricoh\0../evil", 13)}, {tag_model, std::string("\xFF\xFE\0", 3)}}),
         {L"Photos/Make/Ricoh"}},
        {L"long.jpg", jpeg_with_exif({{tag_make, std::string(300, 'M') + '\0'}}),
         {L"Photos/Make/" + std::wstring(79, L'M') + L"\x2026"}},
        {L"month.jpg", jpeg_with_exif({{tag_date, std::string("2020:13:01 10:00:00\0", 20)}}), {}},
        // An entry whose count reaches far beyond the block, and a directory beyond the block.
        {L"count.jpg", jpeg_with_exif({{tag_make, std::string("Nikon\0", 6), 0x7FFFFFFF}}), {}},
        {L"offset.jpg", jpeg_with_exif({{tag_make, std::string("Nikon\0", 6)}}, 0xFFFFFF00u), {}},
    };
    for (const auto& c : cases) {
        const RawAnswer answer = ask_about(L"photos.dll", c.file, c.jpeg);
        const std::string file(c.file, c.file + wcslen(c.file));
        EXPECT_EQ(!c.expected.empty(), answer.filled) << file;
        EXPECT_EQ(c.expected, answer.chains) << file;
        EXPECT_EQ(names(), answer.unsafe) << file;
    }
}

TEST_F(HostileMetadataTest, FilesCutShortOrOverwrittenNeverCrashOrGiveUnsafeNames) {
    const struct {
        const wchar_t* sample;
        const wchar_t* dll;
    } samples[] = {
        {L"song.mp3", L"music.dll"},  {L"song.flac", L"music.dll"}, {L"song.ogg", L"music.dll"},
        {L"photo.jpg", L"photos.dll"}, {L"photo.tif", L"photos.dll"},
    };
    for (const auto& s : samples) {
        const std::string bytes = sample_bytes(s.sample);
        const std::wstring name = std::wstring(L"damaged-") + s.sample;
        const std::string label(name.begin(), name.end());
        int answers = 0, asked = 0;
        // Cut short at every few bytes through the metadata, more sparsely through the rest.
        for (std::size_t cut = 0; cut < bytes.size(); cut += cut < 2048 ? 5 : 61) {
            const RawAnswer answer = ask_about(s.dll, name, bytes.substr(0, cut));
            ++asked;
            answers += answer.filled ? 1 : 0;
            ASSERT_EQ(names(), answer.unsafe) << label << " cut at " << cut;
        }
        // Single bytes overwritten with values that break lengths, counts and texts.
        const std::size_t head = std::min<std::size_t>(bytes.size(), 1024);
        for (std::size_t at = 0; at < head; at += 3) {
            for (const char value : {'\xFF', '\x00', '\x01'}) {
                std::string damaged = bytes;
                damaged[at] = value;
                const RawAnswer answer = ask_about(s.dll, name, damaged);
                ++asked;
                ASSERT_EQ(names(), answer.unsafe) << label << " byte " << at << " set to " << int(value);
            }
        }
        // The intact file still answers: the loop above did run the plug-in on real data.
        EXPECT_TRUE(ask_about(s.dll, name, bytes).filled) << label;
        std::printf("%s: %d of %d damaged copies still gave tags\n", label.c_str(), answers, asked);
    }
}

TEST_F(HostileMetadataTest, HostileNamesStayInsideTheDataFolder) {
    const std::string mp3 = audio();
    write_file_bytes(files.path() + L"escape.mp3",
                     id3v24(frame("TPE1", latin1("..\\..\\..\\escaped")) + frame("TALB", latin1("C:\\Windows\\x")) +
                            frame("TCON", latin1("../..")) + frame("TDRC", latin1("1999"))) + mp3);
    write_file_bytes(files.path() + L"escape.jpg",
                     jpeg_with_exif({{tag_make, std::string("..\\..\\up\0", 9)}, {tag_model, std::string("\\\\?\\C:\\x\0", 9)}}));
    autotag::Settings config;
    config.watch_dirs.push_back(entry({L"music.dll", L"photos.dll"}));
    plugins.tag_new_file(files.path() + L"escape.mp3", config, *db);
    plugins.tag_new_file(files.path() + L"escape.jpg", config, *db);
    EXPECT_EQ((names{L"Music/Album/C..Windows.x", L"Music/Artist/.........escaped", L"Music/Year/1999"}),
              tags_of(files.path() + L"escape.mp3"));
    EXPECT_EQ((names{L"Photos/Make/......up", L"Photos/Model/....C..x"}), tags_of(files.path() + L"escape.jpg"));

    // Everything the store wrote lies in the data folder, one safe name per level.
    std::vector<std::wstring> pending = {data(L"")};
    int seen = 0;
    while (!pending.empty()) {
        const std::wstring dir = pending.back();
        pending.pop_back();
        for (const std::wstring& entry_name : folder_entries(dir)) {
            ++seen;
            EXPECT_TRUE(util::is_valid_file_name(entry_name)) << std::string(entry_name.begin(), entry_name.end());
            const std::wstring full = dir + entry_name;
            if (::GetFileAttributesW(full.c_str()) & FILE_ATTRIBUTE_DIRECTORY) pending.push_back(full + L'\\');
        }
    }
    EXPECT_EQ((names{L"Music", L"Music.dat", L"Photos", L"Photos.dat"}), folder_entries(data(L"")));
    EXPECT_EQ(14, seen);  // 2 roots, 2 maps, 5 scopes, 5 tags
    EXPECT_FALSE(path_exists(files.path() + L"..\\escaped"));
}
