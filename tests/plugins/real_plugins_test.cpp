// The shipped plug-ins, "music.dll", "photos.dll" and "other.dll", on files that Debian's
// encoders and taggers wrote: through the real watcher and the directory parse, and on files
// whose metadata this test damages on purpose.
#include "real_plugins_fixture.h"

#include "autotag/directory_watcher.h"
#include "autotag/parse.h"

#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>

using autotag::WatchedDir;

namespace {

typedef std::vector<std::wstring> names;

bool eventually(const std::function<bool()>& done, DWORD timeout_ms = 10000) {
    const DWORD started = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - started > timeout_ms) return false;
        ::Sleep(10);
    }
    return true;
}

class NoProgress : public autotag::parse_progress {
public:
    void entered(const std::wstring&) override {}
    bool stop_requested() override { return false; }
};

// Mid-June, so that no time zone moves it into another year.
void set_modified_2016(const std::wstring& path) {
    SYSTEMTIME when = {2016, 6, 0, 15, 12, 0, 0, 0};
    FILETIME time;
    ASSERT_TRUE(::SystemTimeToFileTime(&when, &time));
    util::unique_file file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &time));
}

}  // namespace

TEST_F(RealPluginTest, LoadedWithTheirExtensionsAndDescriptions) {
    const autotag::AutoAssignPlugins::plugin_ptr music = plugins.find(L"music.dll");
    const autotag::AutoAssignPlugins::plugin_ptr photos = plugins.find(L"photos.dll");
    const autotag::AutoAssignPlugins::plugin_ptr other = plugins.find(L"other.dll");
    ASSERT_TRUE(music && photos && other);
    for (const wchar_t* ext : {L"mp3", L"MP3", L"flac", L"ogg", L"m4a"}) {
        EXPECT_NE(music->exts.end(), std::find(music->exts.begin(), music->exts.end(), ext));
    }
    for (const wchar_t* ext : {L"jpg", L"JPG", L"jpeg", L"tif", L"tiff"}) {
        EXPECT_NE(photos->exts.end(), std::find(photos->exts.begin(), photos->exts.end(), ext));
    }
    // The fallback claims nothing, so a parse never prefers it to a plug-in that reads metadata.
    EXPECT_TRUE(other->exts.empty());
    EXPECT_FALSE(music->description.empty() || photos->description.empty() || other->description.empty());
}

TEST_F(RealPluginTest, WatchedFolderTagsNewFilesWithTheRealPlugins) {
    autotag::Settings config;
    config.watch_dirs.push_back(entry({L"music.dll", L"photos.dll", L"other.dll"}));
    std::unique_ptr<autotag::DirectoryWatcher> watcher(new autotag::DirectoryWatcher(config, plugins, *db, 40));
    watcher->start_watcher();
    ASSERT_TRUE(eventually([&] { return watcher->watched_paths().size() == 1; }));

    // Made outside and moved in, as a finished download arrives; the fallback's files get a
    // known modification time first.
    TempFolder outside;
    const std::vector<std::wstring> arriving = {L"song.mp3", L"song.flac", L"photo.jpg", L"untagged.mp3"};
    for (const std::wstring& name : arriving) {
        ASSERT_TRUE(::CopyFileW(sample(name).c_str(), (outside.path() + name).c_str(), FALSE));
    }
    write_file_bytes(outside.path() + L"report.pdf", "%PDF-1.4\n%%EOF\n");
    write_file_bytes(outside.path() + L"bundle.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    for (const wchar_t* name : {L"report.pdf", L"bundle.zip", L"untagged.mp3"}) {
        set_modified_2016(outside.path() + name);
    }
    for (const wchar_t* name : {L"song.mp3", L"song.flac", L"photo.jpg", L"untagged.mp3", L"report.pdf", L"bundle.zip"}) {
        ASSERT_TRUE(::MoveFileW((outside.path() + name).c_str(), (files.path() + name).c_str()));
    }

    const std::vector<std::pair<std::wstring, names>> expected = {
        {L"song.mp3", {L"Music/Album/Night Shift", L"Music/Artist/Lantern Choir", L"Music/Genre/Rock",
                       L"Music/Year/1999"}},
        {L"song.flac", {L"Music/Album/Salt.Pepper", L"Music/Artist/Mara Ellison", L"Music/Artist/Zo\x00EB \x00C5ngstr\x00F6m",
                        L"Music/Genre/Jazz", L"Music/Year/2004"}},
        {L"photo.jpg", {L"Photos/Make/Canon", L"Photos/Model/Canon EOS 5D Mark II", L"Photos/Month/2021-07",
                        L"Photos/Year/2021"}},
        // No tags inside: the music plug-in declines, and the fallback files it by kind.
        {L"untagged.mp3", {L"Files/Kind/Audio", L"Files/Modified/2016"}},
        {L"report.pdf", {L"Files/Kind/Documents", L"Files/Modified/2016"}},
        {L"bundle.zip", {L"Files/Kind/Archives", L"Files/Modified/2016"}},
    };
    for (const auto& file_tags : expected) {
        const std::wstring path = files.path() + file_tags.first;
        EXPECT_TRUE(eventually([&] { return tags_of(path) == file_tags.second; }))
            << std::string(file_tags.first.begin(), file_tags.first.end()) << ": " << tags_of(path).size() << " tags";
    }

    // What the watcher tagged is on disk: a new start of Explorer finds it.
    watcher.reset();
    reload();
    EXPECT_EQ(expected[0].second, tags_of(files.path() + L"song.mp3"));
    EXPECT_EQ(expected[5].second, tags_of(files.path() + L"bundle.zip"));
}

TEST_F(RealPluginTest, ParseTagsOggTiffAndUpperCaseExtensions) {
    for (const wchar_t* name : {L"song.ogg", L"photo.tif", L"plain.jpg"}) {
        ASSERT_TRUE(::CopyFileW(sample(name).c_str(), (files.path() + name).c_str(), FALSE));
    }
    ASSERT_TRUE(::CopyFileW(sample(L"photo.jpg").c_str(), (files.path() + L"IMG_0001.JPG").c_str(), FALSE));
    set_modified_2016(files.path() + L"plain.jpg");
    NoProgress progress;
    autotag::parse_directory(entry({L"music.dll", L"photos.dll", L"other.dll"}), plugins, *db, progress);

    EXPECT_EQ((names{L"Music/Album/Open Water", L"Music/Artist/Paper Harbour", L"Music/Genre/Folk", L"Music/Year/2011"}),
              tags_of(files.path() + L"song.ogg"));
    EXPECT_EQ((names{L"Photos/Make/NIKON CORPORATION", L"Photos/Model/NIKON D750", L"Photos/Month/2019-12",
                     L"Photos/Year/2019"}),
              tags_of(files.path() + L"photo.tif"));
    EXPECT_EQ((names{L"Photos/Make/Canon", L"Photos/Model/Canon EOS 5D Mark II", L"Photos/Month/2021-07",
                     L"Photos/Year/2021"}),
              tags_of(files.path() + L"IMG_0001.JPG"));
    // A JPEG without EXIF: the photo plug-in declines, and the fallback files it by kind, as
    // the watcher does.
    EXPECT_FALSE(ask(L"photos.dll", files.path() + L"plain.jpg").filled);
    EXPECT_EQ((names{L"Files/Kind/Images", L"Files/Modified/2016"}), tags_of(files.path() + L"plain.jpg"));
}
