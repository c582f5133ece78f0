// The writer's state, shared by the file that opens a writer and the one
// that feeds and finishes it.
#pragma once
#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/mem.h>
}

#include "engine/encoder.h"
#include "engine/owners.h"

// Everything one write holds; members release in reverse order.
struct writer_state {
    std::string path;    // the final name, as the caller gave it
    std::string target;  // the file replaced: path, or the file a link there names
    std::string temp;  // where the samples go until writer_close; "" once moved or removed
    output_format_ptr oc;
    codec_context_ptr enc;
    AVStream* stream = nullptr;
    swr_ptr swr;
    audio_fifo_ptr fifo;
    frame_ptr frame;
    packet_ptr pkt;
    uint8_t** planes = nullptr;  // converter output, reused across pushes
    int planes_room = 0;
    int frame_size = 0;
    int channels = 0;
    int64_t next_pts = 0;
    packet_tap_fn tap = nullptr;
    void* tap_ctx = nullptr;
    bool finished = false;  // closed, or failed: nothing more goes in

    ~writer_state() {
        if (planes) av_freep(&planes[0]);
        av_freep(&planes);
    }
};

// Chooses the container, encoder and converter for path's extension and
// opens the temporary file beside it, up to the header.
int open_writer(writer_state& w, const char* path, int sample_rate, int channels,
                const AVFormatContext* source);

// The failure text, with the system's reason when the file itself failed.
void set_io_err(const writer_state& w, const char* failure);

// Room for at least room converted frames in w.planes.
int reserve_planes(writer_state& w, int room);
