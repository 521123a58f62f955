// A Blu-ray disc backup read through libbluray: a folder holding BDMV/, BDMV/
// itself or an .iso image. Offers the disc's titles with what a conversion
// needs (clips of both views, chapters, audio tracks, which eye is the base),
// the default 3D title, and the clips' bytes. One BluRayDisc belongs to one
// thread at a time; ClipStreams it opens must not outlive it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct bluray;

namespace disc {

// Not a disc, an encrypted disc, a clip that is missing or cut: the text says which.
class DiscError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct AudioTrack {
    unsigned pid = 0;
    std::string language; // ISO 639-2, e.g. "eng"; empty when the disc gives none
    std::string codec;    // "AC-3", "DTS-HD MA", "LPCM", ...
};

struct TitleClip {
    std::string baseClip;      // "00001": BDMV/STREAM/00001.m2ts
    std::string dependentClip; // empty on a 2D title
    uint64_t inTime = 0;       // 90 kHz, as the clip's timestamps
    uint64_t outTime = 0;
    uint64_t startTime = 0;           // 90 kHz from the title's start
    unsigned connectionCondition = 0; // 1: cut at IN/OUT; 5, 6: seamless
    uint64_t packets = 0;             // from the clip information; 0 when not given
};

struct Title {
    unsigned number = 0;   // 1-based, in libbluray's order of relevant titles
    unsigned playlist = 0; // BDMV/PLAYLIST/<playlist>.mpls
    double duration = 0;   // seconds
    std::vector<TitleClip> clips;
    std::vector<double> chapters; // start seconds from the title's start
    bool is3D = false;            // the playlist names an MVC dependent view
    bool baseViewIsRight = false;
    std::vector<AudioTrack> audio;
    int width = 0, height = 0;
    int frameRateNum = 0, frameRateDen = 1;
    std::string playlistProblem; // why a playlist that could not be read counts as 2D

    std::string playlistName() const; // "00001.mpls"
};

// Where a path the user gave leads: the disc's root and, for a playlist or a
// clip inside the disc, that playlist or clip.
struct DiscLocation {
    std::filesystem::path root; // folder holding BDMV/, or the .iso
    std::optional<unsigned> playlist;
    std::optional<std::string> baseClip;
};
// Nothing when the path is not a disc or a file inside a disc folder.
std::optional<DiscLocation> locateDisc(const std::filesystem::path& path);

// Sequential bytes of one clip.
class ClipStream {
  public:
    virtual ~ClipStream() = default;
    virtual size_t read(uint8_t* destination, size_t size) = 0; // 0 at the end; throws DiscError
    virtual uint64_t size() const = 0;
};

class BluRayDisc {
  public:
    // Throws DiscError when the path holds no readable disc or the disc is
    // encrypted: Duoscope never decrypts.
    explicit BluRayDisc(const std::filesystem::path& root);
    ~BluRayDisc();
    BluRayDisc(const BluRayDisc&) = delete;
    BluRayDisc& operator=(const BluRayDisc&) = delete;

    const std::vector<Title>& titles() const { return titles_; }
    // The longest 3D title; nothing on a 2D disc.
    const Title* defaultTitle() const;
    const Title* titleWithPlaylist(unsigned playlist) const;
    // The 3D title (longest first) that plays this base clip.
    const Title* titleWithClip(const std::string& baseClip) const;

    // Throws DiscError naming the clip and playlist when one is missing, empty or cut short.
    // With onlyBaseClip, that play-item's pair alone.
    void checkClips(const Title& title, const std::optional<std::string>& onlyBaseClip = {}) const;
    std::unique_ptr<ClipStream> openClip(const std::string& clip) const;

  private:
    std::optional<uint64_t> clipSize(const std::string& clip) const;
    bluray* handle_ = nullptr;
    std::filesystem::path root_;
    std::vector<Title> titles_;
};

std::string formatDuration(double seconds); // "1:02:03"
// The title picked by number or playlist, else the default; throws DiscError.
const Title& chooseTitle(const BluRayDisc& disc, std::optional<unsigned> titleNumber,
                         std::optional<unsigned> playlist, std::string* why = nullptr);
// The first audio track in that language, else (no language given) the first; throws DiscError.
std::optional<AudioTrack> chooseAudio(const Title& title, const std::string& language);

} // namespace disc
