/* A capture PCM for the ALSA device's tests, loaded by alsa-lib as an external
 * plugin. Its stereo float frames count up (left k/1048576, right the
 * negative), or come from a raw file of interleaved stereo floats (`infile`,
 * silence after its end). Without `clocked` one period is ready whenever asked;
 * with it, frames become ready at the sample rate, as from a sound card. On
 * request an xrun once `xrun_at` frames were delivered, or the device gone once
 * `lost_at` were.
 *
 *   pcm_type.plumbra_fault { lib "/path/to/this.so" }
 *   pcm.name { type plumbra_fault xrun_at 2560 lost_at 0 clocked 0 infile "" }
 */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

typedef struct {
    snd_pcm_ioplug_t io;
    int pipe[2];              /* unclocked: always readable, a byte sits in it */
    int timer;                /* clocked: a timer ticking once a period, else -1 */
    FILE* in;                 /* the frames, or null to count */
    long long delivered;      /* frames delivered since the PCM was opened */
    long long xrunAt, lostAt; /* 0: never */
    int xrunDone;
    struct timespec started;  /* clocked: when the PCM started */
    snd_pcm_uframes_t hw;     /* clocked: frames ready since the start */
} Fault;

static int faultStart(snd_pcm_ioplug_t* io)
{
    Fault* f = (Fault*)io->private_data;
    f->hw = 0;
    if (f->timer < 0) return 0;
    clock_gettime(CLOCK_MONOTONIC, &f->started);
    const long long ns = (long long)io->period_size * 1000000000LL / io->rate;
    struct itimerspec tick = {{ns / 1000000000LL, ns % 1000000000LL}, {ns / 1000000000LL, ns % 1000000000LL}};
    return timerfd_settime(f->timer, 0, &tick, NULL) < 0 ? -errno : 0;
}

static int faultStop(snd_pcm_ioplug_t* io)
{
    Fault* f = (Fault*)io->private_data;
    if (f->timer >= 0) {
        struct itimerspec off = {{0, 0}, {0, 0}};
        timerfd_settime(f->timer, 0, &off, NULL);
    }
    return 0;
}

/* Clocked: the ticks waited for are consumed, so that poll sleeps until the next. */
static int faultPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents)
{
    Fault* f = (Fault*)io->private_data;
    *revents = nfds > 0 ? pfd[0].revents : 0;
    if (f->timer >= 0 && (*revents & POLLIN)) {
        unsigned long long ticks;
        if (read(f->timer, &ticks, sizeof ticks) < 0) { /* none pending: nothing to do */ }
    }
    return 0;
}

static snd_pcm_sframes_t faultPointer(snd_pcm_ioplug_t* io)
{
    Fault* f = (Fault*)io->private_data;
    if (f->xrunAt > 0 && !f->xrunDone && f->delivered >= f->xrunAt) {
        f->xrunDone = 1;
        return -EPIPE;
    }
    if (f->timer < 0) /* one period ahead of the reader, as a position in the buffer */
        return (snd_pcm_sframes_t)((io->appl_ptr + io->period_size) % io->buffer_size);
    /* The frames the clock made ready, at most a buffer ahead of the reader:
     * a reader that falls behind loses time, never frames. */
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = (now.tv_sec - f->started.tv_sec) * 1000000000LL + (now.tv_nsec - f->started.tv_nsec);
    snd_pcm_uframes_t ready = (snd_pcm_uframes_t)(ns * (long long)io->rate / 1000000000LL);
    if (ready > io->appl_ptr + io->buffer_size) ready = io->appl_ptr + io->buffer_size;
    if (ready > f->hw) f->hw = ready;
    return (snd_pcm_sframes_t)(f->hw % io->buffer_size);
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
        float frame[2] = {0.0f, 0.0f};
        if (!f->in) {
            frame[0] = (float)(f->delivered + 1) / 1048576.0f;
            frame[1] = -frame[0];
        } else if (fread(frame, sizeof frame, 1, f->in) != 1) {
            frame[0] = frame[1] = 0.0f;
        }
        for (unsigned c = 0; c < io->channels; ++c) {
            float* p = (float*)((char*)areas[c].addr + (areas[c].first + areas[c].step * (offset + i)) / 8);
            *p = frame[c];
        }
        ++f->delivered;
    }
    return (snd_pcm_sframes_t)size;
}

static int faultClose(snd_pcm_ioplug_t* io)
{
    Fault* f = (Fault*)io->private_data;
    if (f->pipe[0] >= 0) close(f->pipe[0]);
    if (f->pipe[1] >= 0) close(f->pipe[1]);
    if (f->timer >= 0) close(f->timer);
    if (f->in) fclose(f->in);
    free(f);
    return 0;
}

static const snd_pcm_ioplug_callback_t faultCallbacks = {
    .start = faultStart,
    .stop = faultStop,
    .pointer = faultPointer,
    .transfer = faultTransfer,
    .close = faultClose,
    .poll_revents = faultPollRevents,
};

SND_PCM_PLUGIN_DEFINE_FUNC(plumbra_fault)
{
    (void)root;
    if (stream != SND_PCM_STREAM_CAPTURE) return -EINVAL;
    Fault* f = calloc(1, sizeof *f);
    if (!f) return -ENOMEM;
    f->pipe[0] = f->pipe[1] = f->timer = -1;
    int clocked = 0;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id;
        const char* text;
        long v = 0;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (strcmp(id, "infile") == 0 && snd_config_get_string(n, &text) == 0 && *text && !f->in) {
            if (!(f->in = fopen(text, "rb"))) {
                faultClose(&f->io);
                return -ENOENT;
            }
        }
        if (snd_config_get_integer(n, &v) < 0) continue;
        if (strcmp(id, "xrun_at") == 0) f->xrunAt = v;
        if (strcmp(id, "lost_at") == 0) f->lostAt = v;
        if (strcmp(id, "clocked") == 0) clocked = v != 0;
    }
    f->io.private_data = f;
    if (clocked ? (f->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) < 0
                : pipe(f->pipe) < 0 || write(f->pipe[1], "x", 1) != 1) {
        const int err = -errno;
        faultClose(&f->io);
        return err;
    }
    f->io.version = SND_PCM_IOPLUG_VERSION;
    f->io.name = "plumbra test faults";
    f->io.flags = 0;
    f->io.poll_fd = clocked ? f->timer : f->pipe[0];
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
