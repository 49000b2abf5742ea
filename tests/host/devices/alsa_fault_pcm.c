/* A capture PCM for the ALSA device's tests, loaded by alsa-lib as an external
 * plugin: stereo float frames counting up (left k/1048576, right the negative),
 * one period ready whenever asked (no clock), and on request an xrun once
 * `xrun_at` frames were delivered, or the device gone once `lost_at` were.
 *
 *   pcm_type.plumbra_fault { lib "/path/to/this.so" }
 *   pcm.name { type plumbra_fault xrun_at 2560 lost_at 0 }
 */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct {
    snd_pcm_ioplug_t io;
    int pipe[2];              /* always readable: a byte sits in it */
    long long delivered;      /* frames delivered since the PCM was opened */
    long long xrunAt, lostAt; /* 0: never */
    int xrunDone;
} Fault;

static int faultStart(snd_pcm_ioplug_t* io) { (void)io; return 0; }
static int faultStop(snd_pcm_ioplug_t* io) { (void)io; return 0; }

static snd_pcm_sframes_t faultPointer(snd_pcm_ioplug_t* io)
{
    Fault* f = (Fault*)io->private_data;
    if (f->xrunAt > 0 && !f->xrunDone && f->delivered >= f->xrunAt) {
        f->xrunDone = 1;
        return -EPIPE;
    }
    /* One period ahead of the reader, as a position in the buffer. */
    return (snd_pcm_sframes_t)((io->appl_ptr + io->period_size) % io->buffer_size);
}

static snd_pcm_sframes_t faultTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                       snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    Fault* f = (Fault*)io->private_data;
    if (f->lostAt > 0 && f->delivered >= f->lostAt) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
        return -ENODEV;
    }
    for (snd_pcm_uframes_t i = 0; i < size; ++i) {
        const float v = (float)(f->delivered + 1) / 1048576.0f;
        for (unsigned c = 0; c < io->channels; ++c) {
            float* p = (float*)((char*)areas[c].addr + (areas[c].first + areas[c].step * (offset + i)) / 8);
            *p = c == 0 ? v : -v;
        }
        ++f->delivered;
    }
    return (snd_pcm_sframes_t)size;
}

static int faultClose(snd_pcm_ioplug_t* io)
{
    Fault* f = (Fault*)io->private_data;
    close(f->pipe[0]);
    close(f->pipe[1]);
    free(f);
    return 0;
}

static const snd_pcm_ioplug_callback_t faultCallbacks = {
    .start = faultStart,
    .stop = faultStop,
    .pointer = faultPointer,
    .transfer = faultTransfer,
    .close = faultClose,
};

SND_PCM_PLUGIN_DEFINE_FUNC(plumbra_fault)
{
    (void)root;
    if (stream != SND_PCM_STREAM_CAPTURE) return -EINVAL;
    Fault* f = calloc(1, sizeof *f);
    if (!f) return -ENOMEM;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id;
        long v = 0;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (snd_config_get_integer(n, &v) < 0) continue;
        if (strcmp(id, "xrun_at") == 0) f->xrunAt = v;
        if (strcmp(id, "lost_at") == 0) f->lostAt = v;
    }
    if (pipe(f->pipe) < 0 || write(f->pipe[1], "x", 1) != 1) {
        free(f);
        return -errno;
    }
    f->io.version = SND_PCM_IOPLUG_VERSION;
    f->io.name = "plumbra test faults";
    f->io.flags = 0;
    f->io.poll_fd = f->pipe[0];
    f->io.poll_events = POLLIN;
    f->io.mmap_rw = 0;
    f->io.callback = &faultCallbacks;
    f->io.private_data = f;
    int err = snd_pcm_ioplug_create(&f->io, name, stream, mode);
    if (err < 0) {
        faultClose(&f->io);
        return err;
    }
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned int formats[] = {SND_PCM_FORMAT_FLOAT_LE};
    if ((err = snd_pcm_ioplug_set_param_list(&f->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&f->io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_RATE, 8000, 192000)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0) {
        snd_pcm_ioplug_delete(&f->io);
        return err;
    }
    *pcmp = f->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(plumbra_fault);
