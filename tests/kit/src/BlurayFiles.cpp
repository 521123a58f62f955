#include "BlurayFiles.h"

#include <stdexcept>

namespace kit {
namespace {

// Big-endian fields, with lengths filled in once their block is written.
class FieldWriter {
  public:
    void u8(uint32_t v) { bytes_.push_back(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v);
    }
    void zeros(size_t count) { bytes_.insert(bytes_.end(), count, 0); }
    void text(const std::string& s, size_t size) {
        if (s.size() != size)
            throw std::logic_error("field \"" + s + "\" must have " + std::to_string(size) + " characters");
        bytes_.insert(bytes_.end(), s.begin(), s.end());
    }
    size_t size() const { return bytes_.size(); }

    // A length field of `width` bytes counting what follows it up to end().
    size_t begin(int width) {
        const size_t at = bytes_.size();
        zeros(static_cast<size_t>(width));
        open_.push_back({at, width});
        return at;
    }
    void end() {
        const auto [at, width] = open_.back();
        open_.pop_back();
        patch(at, bytes_.size() - at - static_cast<size_t>(width), width);
    }
    void patch(size_t at, size_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes_[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    }
    Bytes take() { return std::move(bytes_); }

  private:
    Bytes bytes_;
    std::vector<std::pair<size_t, int>> open_;
};

// stream_entry() and stream_attributes() of an STN table: a stream of the
// play item's own clip (type 1), padded to the lengths discs use.
void stnStream(FieldWriter& w, const BlurayStream& s) {
    w.begin(1);
    w.u8(1);
    w.u16(s.pid);
    w.zeros(6);
    w.end();
    w.begin(1);
    w.u8(s.codingType);
    w.u8(static_cast<uint32_t>(s.format << 4 | s.rate));
    if (s.codingType == kCodingAc3)
        w.text(s.language, 3);
    else
        w.zeros(3);
    w.end();
}

void uoMask(FieldWriter& w) {
    w.zeros(8); // every user operation permitted
}

} // namespace

Bytes writeClipInformation(const ClipInformation& clip) {
    FieldWriter w;
    w.text("HDMV0200", 8);
    const size_t addresses = w.size();
    w.zeros(5 * 4 + 12); // SequenceInfo, ProgramInfo, CPI, ClipMark, ExtensionData addresses; reserved

    // ClipInfo()
    w.begin(4);
    w.u16(0);
    w.u8(1); // Clip_stream_type: AV stream
    // application_type 1: main TS of a movie playlist; 8: the sub-TS of an
    // MVC dependent view.
    w.u8(clip.isDependentView ? 8 : 1);
    w.u32(0); // is_ATC_delta 0
    w.u32(clip.recordingRate);
    w.u32(clip.sourcePackets);
    w.zeros(128);
    w.begin(2); // TS_type_info_block
    w.u8(0x80);
    w.text("HDMV", 4);
    w.zeros(25);
    w.end();
    w.end();

    w.patch(addresses, w.size(), 4);
    w.begin(4); // SequenceInfo(): one ATC sequence holding one STC sequence
    w.u8(0);
    w.u8(1);
    w.u32(0); // SPN_ATC_start
    w.u8(1);
    w.u8(0); // offset_STC_id
    w.u16(clip.pcrPid);
    w.u32(0); // SPN_STC_start
    w.u32(clip.presentationStart);
    w.u32(clip.presentationEnd);
    w.end();

    w.patch(addresses + 4, w.size(), 4);
    w.begin(4); // ProgramInfo()
    w.u8(0);
    w.u8(1);
    w.u32(0); // SPN_program_sequence_start
    w.u16(clip.pmtPid);
    w.u8(static_cast<uint32_t>(clip.streams.size()));
    w.u8(0); // number_of_groups
    for (const BlurayStream& s : clip.streams) {
        w.u16(s.pid);
        w.begin(1); // StreamCodingInfo(), padded to the usual 21 bytes
        const size_t start = w.size();
        w.u8(s.codingType);
        if (s.codingType == kCodingAc3) {
            w.u8(static_cast<uint32_t>(s.format << 4 | s.rate));
            w.text(s.language, 3);
        } else {
            w.u8(static_cast<uint32_t>(s.format << 4 | s.rate));
            w.u8(3 << 4); // aspect ratio 16:9, oc_flag 0
        }
        w.zeros(21 - (w.size() - start));
        w.end();
    }
    w.end();

    w.patch(addresses + 8, w.size(), 4);
    w.begin(4); // CPI(): an EP map of the video PID, so that players can seek
    w.u16(1);   // CPI_type 1: EP_map
    const size_t epMap = w.size();
    w.u8(0);
    w.u8(1); // number_of_stream_PID_entries
    // Coarse entries restart wherever the coarse PTS (bits 32..19) or the
    // upper SPN bits (16 and up) change; fine entries keep the rest.
    std::vector<size_t> coarse;
    for (size_t i = 0; i < clip.entryPoints.size(); ++i) {
        const EntryPoint& e = clip.entryPoints[i];
        if (i == 0 || (e.pts90k >> 19) != (clip.entryPoints[i - 1].pts90k >> 19) ||
            (e.packet >> 17) != (clip.entryPoints[i - 1].packet >> 17))
            coarse.push_back(i);
    }
    w.u16(clip.entryPid);
    const uint64_t counts = uint64_t{1} << 34 | uint64_t{coarse.size()} << 18 | clip.entryPoints.size();
    w.u16(static_cast<uint32_t>(counts >> 32)); // reserved 10, EP_stream_type 4 (1: video), coarse count
    w.u32(static_cast<uint32_t>(counts));       // ... and fine count (18 bits)
    const size_t streamAddress = w.size();
    w.u32(0);
    w.patch(streamAddress, w.size() - epMap, 4);
    const size_t streamStart = w.size();
    w.u32(0); // EP_fine_table_start_address
    for (size_t c = 0; c < coarse.size(); ++c) {
        const EntryPoint& e = clip.entryPoints[coarse[c]];
        w.u32(static_cast<uint32_t>(coarse[c] << 14 | ((e.pts90k >> 19) & 0x3FFF)));
        w.u32(e.packet);
    }
    w.patch(streamStart, w.size() - streamStart, 4);
    for (const EntryPoint& e : clip.entryPoints)
        // is_angle_change_point 0, I_end_position_offset 1, PTS_EP_fine, SPN_EP_fine
        w.u32(static_cast<uint32_t>(1u << 28 | ((e.pts90k >> 9) & 0x7FF) << 17 | (e.packet & 0x1FFFF)));
    w.end();

    w.patch(addresses + 12, w.size(), 4);
    w.u32(0); // ClipMark(): none
    return w.take();
}

Bytes writePlaylist(const PlaylistFile& playlist) {
    FieldWriter w;
    w.text("MPLS0200", 8);
    const size_t addresses = w.size();
    w.zeros(3 * 4 + 20); // PlayList, PlayListMark, ExtensionData addresses; reserved

    w.begin(4); // AppInfoPlayList()
    w.u8(0);
    w.u8(1); // PlayList_playback_type: sequential
    w.u16(0);
    uoMask(w);
    // PlayList_random_access_flag 0, audio_mix_app_flag 1,
    // lossless_may_bypass_mixer_flag 0, MVC_Base_view_R_flag, SDR flag 0.
    w.u16(1u << 14 | (playlist.baseViewIsRight ? 1u << 12 : 0u));
    w.end();

    w.patch(addresses, w.size(), 4);
    w.begin(4); // PlayList()
    w.u16(0);
    w.u16(static_cast<uint32_t>(playlist.items.size()));
    w.u16(0); // the 3D sub-path lives in the extension data, as on 3D discs
    for (const PlayItem& item : playlist.items) {
        w.begin(2);
        w.text(item.clip, 5);
        w.text("M2TS", 4);
        w.u16(item.connectionCondition & 0x0F); // is_multi_angle 0
        w.u8(0);                                // ref_to_STC_id
        w.u32(item.inTime);
        w.u32(item.outTime);
        uoMask(w);
        w.u8(0); // PlayItem_random_access_flag 0
        w.u8(0); // still_mode: none
        w.u16(0);
        w.begin(2); // STN_table()
        w.u16(0);
        w.u8(static_cast<uint32_t>(item.video.size()));
        w.u8(static_cast<uint32_t>(item.audio.size()));
        w.zeros(5); // PG, IG, secondary audio, secondary video, PiP PG
        w.zeros(5);
        for (const BlurayStream& s : item.video)
            stnStream(w, s);
        for (const BlurayStream& s : item.audio)
            stnStream(w, s);
        w.end();
        w.end();
    }
    w.end();

    w.patch(addresses + 4, w.size(), 4);
    w.begin(4); // PlayListMark()
    w.u16(static_cast<uint32_t>(playlist.marks.size()));
    for (const PlaylistMark& mark : playlist.marks) {
        w.u8(0);
        w.u8(1); // mark_type: entry mark (a chapter)
        w.u16(mark.playItem);
        w.u32(mark.time);
        w.u16(0xFFFF); // entry_ES_PID: none
        w.u32(0);      // duration
    }
    w.end();

    if (playlist.dependentView.empty()) return w.take();

    // ExtensionData() with one entry, ID1 2 / ID2 2: SubPath entries, here
    // the one sub-path of type 8 that names each play item's dependent-view clip.
    const size_t extension = w.size();
    w.patch(addresses + 8, extension, 4);
    w.begin(4);
    const size_t dataStart = w.size();
    w.u32(0); // data_block_start_address
    w.zeros(3);
    w.u8(1); // number_of_ext_data_entries
    w.u16(2);
    w.u16(2);
    const size_t entryAddress = w.size();
    w.zeros(8); // ext_data_start_address, ext_data_length
    w.patch(dataStart, w.size() - extension, 4);
    const size_t block = w.size();
    w.begin(4);
    w.u16(1); // number_of_SubPaths
    w.begin(4);
    w.u8(0);
    w.u8(8);  // SubPath_type 8: out-of-mux MVC dependent view
    w.u16(0); // is_repeat_SubPath 0
    w.u8(0);
    w.u8(static_cast<uint32_t>(playlist.dependentView.size()));
    for (const DependentViewItem& item : playlist.dependentView) {
        w.begin(2);
        w.text(item.clip, 5);
        w.text("M2TS", 4);
        w.u32(static_cast<uint32_t>(item.connectionCondition & 0x0F) << 1); // is_multi_Clip_entries 0
        w.u8(0);                                                            // ref_to_STC_id
        w.u32(item.inTime);
        w.u32(item.outTime);
        w.u16(item.syncPlayItem);
        w.u32(item.syncStartTime);
        w.end();
    }
    w.end();
    w.end();
    w.patch(entryAddress, block - extension, 4);
    w.patch(entryAddress + 4, w.size() - block, 4);
    w.end();
    return w.take();
}

Bytes writeIndex(size_t titleCount, bool has3D, uint8_t videoFormat, uint8_t frameRate) {
    FieldWriter w;
    w.text("INDX0200", 8);
    const size_t addresses = w.size();
    w.zeros(2 * 4 + 24);

    w.begin(4); // AppInfoBDMV()
    // initial_output_mode_preference (1: 3D) and SS_content_exist_flag.
    w.u8(has3D ? 0x60 : 0x00);
    w.u8(static_cast<uint32_t>(videoFormat << 4 | frameRate));
    w.zeros(32); // user data
    w.end();

    w.patch(addresses, w.size(), 4);
    auto hdmvObject = [&](uint32_t playbackType, size_t movieObject) {
        w.u16(playbackType << 14);
        w.u16(static_cast<uint32_t>(movieObject));
        w.u32(0);
    };
    w.begin(4);      // Indexes()
    w.u32(1u << 30); // FirstPlayback: HDMV object
    hdmvObject(0, 0);
    w.u32(1u << 30); // TopMenu: the same object; these discs have no menu
    hdmvObject(0, 0);
    w.u16(static_cast<uint32_t>(titleCount));
    for (size_t title = 0; title < titleCount; ++title) {
        w.u32(1u << 30); // object type HDMV, access permitted
        hdmvObject(0, title);
    }
    w.end();
    return w.take();
}

Bytes writeMovieObjects(const std::vector<int>& playlistNumbers) {
    FieldWriter w;
    w.text("MOBJ0200", 8);
    w.zeros(4 + 28); // ExtensionData address; reserved
    w.begin(4);
    w.u32(0);
    w.u16(static_cast<uint32_t>(playlistNumbers.size()));
    for (int playlist : playlistNumbers) {
        w.u16(0); // resume_intention_flag, menu_call_mask, title_search_mask 0
        w.u16(1);
        // PlayPL with an immediate playlist number (group branch, sub-group play).
        w.u32(0x22800000);
        w.u32(static_cast<uint32_t>(playlist));
        w.u32(0);
    }
    w.end();
    return w.take();
}

} // namespace kit
