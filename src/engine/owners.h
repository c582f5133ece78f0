// Owners for FFmpeg objects and heap blocks, so every path releases them.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

struct input_format_deleter {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct output_format_deleter {
    void operator()(AVFormatContext* p) const {
        if (p->pb && p->oformat && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
        avformat_free_context(p);
    }
};
struct codec_context_deleter {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct frame_deleter {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct packet_deleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct filter_graph_deleter {
    void operator()(AVFilterGraph* p) const { avfilter_graph_free(&p); }
};
struct filter_inout_deleter {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
struct swr_deleter {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct audio_fifo_deleter {
    void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};

using input_format_ptr = std::unique_ptr<AVFormatContext, input_format_deleter>;
using output_format_ptr = std::unique_ptr<AVFormatContext, output_format_deleter>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_deleter>;
using frame_ptr = std::unique_ptr<AVFrame, frame_deleter>;
using packet_ptr = std::unique_ptr<AVPacket, packet_deleter>;
using filter_graph_ptr = std::unique_ptr<AVFilterGraph, filter_graph_deleter>;
using filter_inout_ptr = std::unique_ptr<AVFilterInOut, filter_inout_deleter>;
using swr_ptr = std::unique_ptr<SwrContext, swr_deleter>;
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, audio_fifo_deleter>;
template <typename T>
using heap_ptr = std::unique_ptr<T, free_deleter>;
