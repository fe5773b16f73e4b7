// The MPI mode of tessra-render. Every rank reads the scene itself and builds the same
// photon map and final-gather cache for the whole image; the ranks share that work
// through the library (each casts its share of the photons, finds the camera hits of its
// share of the tiles for placing the records and lights its share of the records, then
// all exchange), so a tile's pixels do not depend on the rank that shades it.
//
// Then bands of rows travel. Each rank asks rank 0 about every band in the library's
// order; rank 0 grants a band to the first rank that asks. Rank 0 renders too: from the
// first band on, a thread there serves the claims and receives the other ranks' rows,
// and is the only thread of rank 0 that calls MPI (MPI_THREAD_SERIALIZED suffices).
#include "farm.h"

#include <mpi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace tr {
namespace {

enum Tag : int { kClaim = 1, kGrant, kRow, kTile, kDone, kStop, kFinal, kPasses };
enum Grant : int { kRefused = 0, kGranted = 1, kStopping = 2 };
enum Status : int { kOk = 0, kInterrupted = 1, kFailed = 2 };

// How long a stopping rank 0 waits for the others' last rows: mpirun follows its SIGTERM
// with a SIGKILL one second later by default (odls_base_sigkill_timeout), and rank 0
// still has to write the image.
constexpr auto kStopGrace = std::chrono::milliseconds(700);

using TileKey = std::pair<uint32_t, uint32_t>;
constexpr uint32_t kTileEdge = TESSRA_TILE_SIZE;

// Starts MPI: "" or the reason it did not start.
std::string initMpi() {
    int provided = 0;
    if (MPI_Init_thread(nullptr, nullptr, MPI_THREAD_SERIALIZED, &provided) != MPI_SUCCESS) return "MPI did not start";
    if (provided < MPI_THREAD_SERIALIZED) {
        MPI_Finalize();
        return "this MPI library does not allow calls from a second thread (MPI_THREAD_SERIALIZED)";
    }
    return "";
}

class Rank final : public MpiRank, public TessraCallbacks {
public:
    // With background, MPI is still to be started, on a thread of its own.
    Rank(int rank, int size, bool background) : rank_(rank), size_(size), up_(!background) {
        if (!background) return;
        starting_ = std::thread([this] {
            startError_ = initMpi();
            int rank = -1, size = 0;
            if (startError_.empty()) {
                MPI_Comm_rank(MPI_COMM_WORLD, &rank);
                MPI_Comm_size(MPI_COMM_WORLD, &size);
                if (rank != rank_ || size != size_) startError_ = "the launcher's rank and size are not MPI's";
            }
            up_ = startError_.empty();
        });
    }

    ~Rank() override {
        if (starting_.joinable()) starting_.join();
        if (!startError_.empty()) return;
        if (server_.joinable()) {
            quit_ = true;
            server_.join();
        }
        // A rank that leaves before its end was reported would leave the others waiting
        // for it; aborting ends the whole job with MPI's own message instead.
        if (!finished_) MPI_Abort(MPI_COMM_WORLD, 1);
        if (shareComm_ != MPI_COMM_NULL && !abandoned_) MPI_Comm_free(&shareComm_);
        if (!abandoned_) MPI_Finalize();
    }

    int rank() const override { return rank_; }
    int size() const override { return size_; }

    void attach(TessraRendererCUDA& r, TessraCallbacks& host, Image& frame) override {
        host_ = &host;
        frame_ = &frame;
        width_ = uint32_t(r.width);
        height_ = uint32_t(r.height);
        r.callbacks = this;
        Tessra_SetTileFilter(&r, &Rank::filter, this);
        // Bands small enough that every rank gets about 32 of them: the library joins
        // the bands a rank is granted one after another into one pass (a run), and runs
        // shrink towards the end (see grant), so that the last piece keeps the others
        // waiting only briefly.
        const uint32_t tiles = ((width_ + kTileEdge - 1) / kTileEdge) * ((height_ + kTileEdge - 1) / kTileEdge);
        while (size_ > 1 && bandRows_ > 16 && tiles * (kTileEdge / bandRows_) < 32u * uint32_t(size_)) bandRows_ /= 2;
        if (bandRows_ < kTileEdge) Tessra_SetBandRows(&r, bandRows_);
        if (size_ > 1) {
            const TessraWorkShare share = {uint32_t(size_), uint32_t(rank_), &Rank::gather, this};
            Tessra_SetWorkShare(&r, &share);
        }
        const uint32_t* crop = r.extension_.crop;
        const bool cropped = crop[2] > crop[0] && crop[3] > crop[1];
        cropRows_[0] = cropped ? crop[1] : 0;
        cropRows_[1] = cropped ? crop[3] : height_;
        // The bands that hold pixels of the image (of the crop): each must be granted once.
        for (uint32_t x = 0; x < width_; x += kTileEdge)
            for (uint32_t y = 0; y < height_; y += bandRows_)
                if (!cropped || (x < crop[2] && x + kTileEdge > crop[0] && y < crop[3] && y + bandRows_ > crop[1]))
                    ++bands_;
    }

    Outcome finish(bool failed, std::string& error) override {
        // Before the first tile the ranks work in step, sharing the photons and the
        // final-gather records: one that failed there leaves the others waiting for its
        // share, so the job ends.
        awaitMpi();
        if (failed && size_ > 1 && !tiling_) MPI_Abort(MPI_COMM_WORLD, 1);
        startServer();
        const int mine = failed ? kFailed : (stop_ || host_->AbortRequested()) ? kInterrupted : kOk;
        if (mine != kOk) stop_ = true;
        finished_ = true;
        if (rank_ > 0) {
            sendRows();
            MPI_Send(&mine, sizeof(mine), MPI_BYTE, 0, kDone, MPI_COMM_WORLD);
            // Stop notices sent before rank 0 saw the report are drained here.
            for (int dummy = 0;;) {
                MPI_Status st;
                MPI_Recv(&dummy, 1, MPI_INT, 0, MPI_ANY_TAG, MPI_COMM_WORLD, &st);
                if (st.MPI_TAG == kFinal) break;
            }
            return mine == kOk ? Outcome::Complete : mine == kFailed ? Outcome::Failed : Outcome::Interrupted;
        }
        if (server_.joinable()) server_.join();
        status_[0] = mine;
        for (const auto& [r, s] : status_)
            if (s == kFailed) {
                error = "rank " + std::to_string(r) + ": the render failed";
                return Outcome::Failed;
            }
        // A rank that never reported may have died with tiles it was granted: what
        // arrived cannot be told from a finished image, so nothing is written.
        if (int(status_.size()) < size_) {
            abandoned_ = true;
            std::string missing;
            for (int r = 1; r < size_; ++r)
                if (!status_.count(r)) missing += (missing.empty() ? "" : ", ") + std::to_string(r);
            error = "rank " + missing + " did not report its end (it died, or was stopped before it could)";
            return Outcome::Failed;
        }
        if (stop_) return Outcome::Interrupted;
        // Every band granted must have come back; a rank that vanished leaves a hole.
        if (owner_.size() != bands_) {
            error = std::to_string(bands_ - owner_.size()) + " bands of the image were never granted";
            return Outcome::Failed;
        }
        for (const auto& [tile, owner] : owner_)
            if (!done_.count(tile)) {
                error = "tile " + std::to_string(tile.first) + "," + std::to_string(tile.second) + " of rank " +
                        std::to_string(owner) + " never arrived";
                return Outcome::Failed;
            }
        return Outcome::Complete;
    }

    void DrawPixels(const float* rgba, uint32_t count, uint32_t x, uint32_t y) override {
        if (rank_ == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            host_->DrawPixels(rgba, count, x, y);
            return;
        }
        // Rows travel as one message a tile rather than one a row: each message waits for
        // rank 0's polling server thread, which shares a core with rank 0's render.
        const uint32_t head[3] = {x, y, count};
        const size_t at = rows_.size();
        rows_.resize(at + sizeof(head) + size_t(count) * 16);
        std::memcpy(rows_.data() + at, head, sizeof(head));
        std::memcpy(rows_.data() + at + sizeof(head), rgba, size_t(count) * 16);
    }
    void TileFinished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) override {
        if (rank_ == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            finished(x, y, w, h);
            return;
        }
        const uint32_t tile[4] = {x, y, w, h};
        sendRows();
        sendPasses(tile);
        MPI_Send(tile, sizeof(tile), MPI_BYTE, 0, kTile, MPI_COMM_WORLD);
    }
    void SetStatusText(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        host_->SetStatusText(text);
    }
    bool AbortRequested() override {
        if (host_->AbortRequested()) stop_ = true;
        // Until MPI is up no stop notice can have come.
        if (rank_ > 0 && !stop_ && up_) {
            int flag = 0;
            MPI_Status st;
            MPI_Iprobe(0, kStop, MPI_COMM_WORLD, &flag, &st);
            if (flag) {
                int dummy;
                MPI_Recv(&dummy, 1, MPI_INT, 0, kStop, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
                stop_ = true;
            }
        }
        return stop_;
    }
    void SetFinalGatherCount(uint32_t n) override { host_->SetFinalGatherCount(n); }
    void ReportIrradianceTime(float c, float s) override { host_->ReportIrradianceTime(c, s); }
    void SetPhotonCount(uint32_t n) override { host_->SetPhotonCount(n); }

private:
    static bool filter(void* user, uint32_t x, uint32_t y) { return static_cast<Rank*>(user)->claim(x, y); }

    // Called by the render thread before its first MPI call. MPI that failed to start in
    // the background ends the process as a failed start in the foreground does.
    void awaitMpi() {
        if (starting_.joinable()) starting_.join();
        if (startError_.empty()) return;
        std::fprintf(stderr, "tessra-render: --mpi: %s\n", startError_.c_str());
        std::fflush(stderr);
        std::_Exit(2);
    }

    // Rank 0 serves claims and rows from the first tile on: before it the render thread
    // calls MPI to share work, and a second thread calling it too would break the
    // serialized threading that MPI was started with.
    void startServer() {
        if (rank_ == 0 && size_ > 1 && !server_.joinable()) server_ = std::thread([this] { serve(); });
    }

    // The library's work shared between ranks: every rank votes whether it goes on, then
    // each rank's bytes reach all others.
    static bool gather(void* user, void* data, const size_t* offsets, const size_t* bytes, bool going) {
        Rank& self = *static_cast<Rank*>(user);
        self.awaitMpi();
        // Every rank comes here first at the same point.
        if (self.shareComm_ == MPI_COMM_NULL) MPI_Comm_dup(MPI_COMM_WORLD, &self.shareComm_);
        std::vector<int> counts(size_t(self.size_)), displacements(size_t(self.size_));
        for (int p = 0; p < self.size_; ++p) {
            // MPI counts are ints; every rank sees the same sizes and stops alike.
            if (offsets[p] + bytes[p] > size_t(std::numeric_limits<int>::max())) {
                if (self.rank_ == 0 && going)
                    std::fprintf(stderr, "tessra-render: the ranks cannot share %zu bytes (at most %d)\n",
                                 offsets[p] + bytes[p], std::numeric_limits<int>::max());
                going = false;
                break;
            }
            counts[size_t(p)] = int(bytes[p]);
            displacements[size_t(p)] = int(offsets[p]);
        }
        int mine = going ? 1 : 0, all = 0;
        MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_LAND, self.shareComm_);
        if (!all) return false;
        if (data)
            MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, data, counts.data(), displacements.data(), MPI_BYTE,
                           self.shareComm_);
        return true;
    }

    // Rank 0, holding the mutex: a tile or a run of bands arrived (a long tile may show
    // itself more than once; a crop's first band starts at the crop). The host hears of a
    // tile once all its rows in the image have arrived.
    void finished(uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
        const uint32_t top = y - y % kTileEdge;
        bool fresh = false;
        for (uint32_t band = y - (y - top) % bandRows_; band < y + h; band += bandRows_)
            fresh = done_.insert({x, band}).second || fresh;
        if (!fresh) return;
        if (bandRows_ == kTileEdge) {
            host_->TileFinished(x, y, w, h);
            return;
        }
        const auto rowsIn = [this](uint32_t a, uint32_t b) {
            a = std::max(a, cropRows_[0]);
            b = std::min(b, cropRows_[1]);
            return b > a ? b - a : 0u;
        };
        uint32_t& rows = rowsDone_[{x, top}];
        rows += rowsIn(y, y + h);
        if (rows == rowsIn(top, top + kTileEdge)) host_->TileFinished(x, top, kTileEdge, kTileEdge);
    }

    // Rank 0, holding the mutex: whether rank from shades the band. The library asks about
    // a tile's next band as soon as one is granted, to join it to the run; a run grows
    // while the bands left would give every rank twice its length, so runs shrink towards
    // the end of the frame. A band refused so is asked about again once the run is shaded.
    bool grant(int from, TileKey band) {
        Run& run = runs_[from];
        const bool follows = run.length > 0 && band.first == run.last.first && band.second % kTileEdge != 0 &&
                             band.second == run.last.second + bandRows_;
        const size_t left = bands_ - owner_.size();
        // A refusal ends the asker's run: what it asks next is a fresh claim.
        if (owner_.count(band) || (follows && size_t(run.length + 1) * 2 * size_t(size_) > left)) {
            run.length = 0;
            return false;
        }
        owner_.emplace(band, from);
        run = {band, follows ? run.length + 1 : 1};
        return true;
    }

    bool claim(uint32_t x, uint32_t y) {
        awaitMpi();
        tiling_ = true;
        startServer();
        // Tiles past the image's edge hold no pixels; every rank skips them alike.
        if (x >= width_ || y >= height_ || stop_) return false;
        if (rank_ == 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            return grant(0, {x, y});
        }
        const uint32_t tile[2] = {x, y};
        int grant = kRefused;
        MPI_Send(tile, sizeof(tile), MPI_BYTE, 0, kClaim, MPI_COMM_WORLD);
        MPI_Recv(&grant, 1, MPI_INT, 0, kGrant, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        if (grant == kStopping) stop_ = true;
        return grant == kGranted;
    }

    // The tile's output passes, in the image, between a packed buffer and the frame's
    // passes (albedo, normal, depth, those present, row by row).
    size_t copyPasses(const uint32_t* tile, float* packed, bool pack) {
        const uint32_t x1 = std::min(tile[0] + tile[2], width_), y1 = std::min(tile[1] + tile[3], height_);
        size_t at = 0;
        for (auto [pass, n] : {std::pair{&frame_->albedo, 3u}, {&frame_->normal, 3u}, {&frame_->depth, 1u}}) {
            if (pass->empty()) continue;
            for (uint32_t y = tile[1]; y < y1 && tile[0] < x1; ++y) {
                float* row = pass->data() + (size_t(y) * width_ + tile[0]) * n;
                const size_t count = size_t(x1 - tile[0]) * n;
                if (packed) pack ? std::copy(row, row + count, packed + at) : std::copy(packed + at, packed + at + count, row);
                at += count;
            }
        }
        return at;
    }

    void sendRows() {
        if (rows_.empty()) return;
        MPI_Send(rows_.data(), int(rows_.size()), MPI_BYTE, 0, kRow, MPI_COMM_WORLD);
        rows_.clear();
    }

    void sendPasses(const uint32_t* tile) {
        const size_t floats = copyPasses(tile, nullptr, true);
        if (floats == 0) return;
        passes_.resize(4 + floats);
        std::memcpy(passes_.data(), tile, 16);
        copyPasses(tile, passes_.data() + 4, true);
        MPI_Send(passes_.data(), int(passes_.size() * sizeof(float)), MPI_BYTE, 0, kPasses, MPI_COMM_WORLD);
    }

    // Rank 0's server: polls rather than blocks, since a blocking receive in Open MPI
    // spins and would take a core from the render. Messages come in bursts (a run's
    // claims, then its rows), so it polls briskly after one and backs off while none
    // comes: each wake-up takes rank 0's core from its render.
    void serve() {
        constexpr auto kBrisk = std::chrono::microseconds(50), kIdle = std::chrono::microseconds(1000);
        auto nap = kBrisk;
        std::vector<char> buffer;
        std::set<int> told;
        std::chrono::steady_clock::time_point stopAt{};
        // Until every other rank has reported its end.
        while (int(status_.size()) < size_ - 1) {
            if (quit_) return;
            if (!stop_) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (host_->AbortRequested()) stop_ = true;
            }
            if (stop_) {
                if (stopAt == std::chrono::steady_clock::time_point{}) stopAt = std::chrono::steady_clock::now();
                for (int r = 1; r < size_; ++r)
                    if (!status_.count(r) && told.insert(r).second) {
                        const int one = 1;
                        MPI_Send(&one, 1, MPI_INT, r, kStop, MPI_COMM_WORLD);
                    }
                // The others were told; rank 0 writes what it has in time.
                if (finished_ && std::chrono::steady_clock::now() - stopAt > kStopGrace) return;
            }
            int flag = 0;
            MPI_Status st;
            MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, MPI_COMM_WORLD, &flag, &st);
            if (!flag) {
                std::this_thread::sleep_for(nap);
                nap = std::min(nap * 2, kIdle);
                continue;
            }
            nap = kBrisk;
            const int from = st.MPI_SOURCE;
            int bytes = 0;
            MPI_Get_count(&st, MPI_BYTE, &bytes);
            buffer.resize(size_t(std::max(bytes, 16)));
            MPI_Recv(buffer.data(), bytes, MPI_BYTE, from, st.MPI_TAG, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            uint32_t head[4] = {0, 0, 0, 0};
            std::memcpy(head, buffer.data(), std::min<size_t>(size_t(bytes), sizeof(head)));
            std::lock_guard<std::mutex> lock(mutex_);
            switch (st.MPI_TAG) {
                case kClaim: {
                    const int answer = stop_ ? int(kStopping) : grant(from, {head[0], head[1]}) ? kGranted : kRefused;
                    MPI_Send(&answer, 1, MPI_INT, from, kGrant, MPI_COMM_WORLD);
                    break;
                }
                case kRow: {
                    // Rows one after another, each x, y, count and count RGBA pixels.
                    std::vector<float> px;
                    for (size_t at = 0; at + 12 <= size_t(bytes);) {
                        uint32_t row[3];
                        std::memcpy(row, buffer.data() + at, sizeof(row));
                        at += sizeof(row);
                        if (at + size_t(row[2]) * 16 > size_t(bytes)) break;
                        px.resize(size_t(row[2]) * 4);
                        std::memcpy(px.data(), buffer.data() + at, px.size() * sizeof(float));
                        at += px.size() * sizeof(float);
                        host_->DrawPixels(px.data(), row[2], row[0], row[1]);
                    }
                    break;
                }
                case kPasses: {
                    if (size_t(bytes) < sizeof(head)) break;
                    std::vector<float> packed((size_t(bytes) - sizeof(head)) / sizeof(float));
                    std::memcpy(packed.data(), buffer.data() + sizeof(head), packed.size() * sizeof(float));
                    if (copyPasses(head, nullptr, false) == packed.size()) copyPasses(head, packed.data(), false);
                    break;
                }
                case kTile:
                    finished(head[0], head[1], head[2], head[3]);
                    break;
                case kDone: {
                    const int s = int(head[0]);
                    status_[from] = s;
                    if (s != kOk) stop_ = true;
                    const int zero = 0;
                    MPI_Send(&zero, 1, MPI_INT, from, kFinal, MPI_COMM_WORLD);
                    break;
                }
                default: break;
            }
        }
    }

    const int rank_, size_;
    TessraCallbacks* host_ = nullptr;
    uint32_t width_ = 0, height_ = 0;
    Image* frame_ = nullptr;
    std::vector<char> rows_;  // rows of the tile in progress, for rank 0
    std::vector<float> passes_;
    std::thread server_;
    std::thread starting_;    // MPI_Init, while the scene is read and the render begins
    std::string startError_;  // why MPI did not start
    std::atomic<bool> up_;    // MPI started
    MPI_Comm shareComm_ = MPI_COMM_NULL;  // the shared work's collectives, apart from the tiles' messages
    bool tiling_ = false;                 // the first tile was claimed
    std::mutex mutex_;
    std::atomic<bool> stop_{false}, quit_{false}, finished_{false};
    bool abandoned_ = false;
    uint32_t bandRows_ = kTileEdge;     // rows of a piece of work: a band of a tile, or the tile
    uint32_t cropRows_[2] = {0, 0};  // the rows of the image rendered
    struct Run {
        TileKey last;         // the last band granted
        uint32_t length = 0;  // bands granted one after another in its tile
    };
    size_t bands_ = 0;              // bands (or tiles) of the image
    std::map<int, Run> runs_;       // rank 0: each rank's current run
    std::map<TileKey, int> owner_;  // rank 0: who shades each tile or band
    std::set<TileKey> done_;        // rank 0: tiles or bands whose rows arrived
    std::map<TileKey, uint32_t> rowsDone_;  // rank 0: rows arrived of each tile
    std::map<int, int> status_;     // rank 0: each rank's end, by rank
};

// Open MPI's default choice of messaging layer probes the fabric libraries first (OFI,
// PSM), which keeps each rank in MPI_Init for about 0.2 s on this VM. When every rank runs
// on this machine, where messages go through shared memory whichever layer carries them,
// and none was named (mpirun's --mca pml exports OMPI_MCA_pml), Open MPI's own layer (ob1)
// is taken directly: MPI_Init takes 0.03 s. A site's choice in an MCA parameter file is
// overridden only for such one-machine runs.
void preferSharedMemory(long size) {
    const char* local = std::getenv("OMPI_COMM_WORLD_LOCAL_SIZE");
    if (std::getenv("OMPI_MCA_pml") || !local || std::strtol(local, nullptr, 10) != size) return;
#ifdef _WIN32
    _putenv_s("OMPI_MCA_pml", "ob1");
#else
    setenv("OMPI_MCA_pml", "ob1", 0);
#endif
}

}  // namespace

bool mpiAvailable() { return true; }

std::unique_ptr<MpiRank> startMpi(std::string& error) {
    // Open MPI's launcher names each process's rank and size in its environment, so MPI
    // can start in the background: MPI_Init spends about 0.2 s waiting on the launcher,
    // time in which the scene is read and the photons are cast.
    const char* rankText = std::getenv("OMPI_COMM_WORLD_RANK");
    const char* sizeText = std::getenv("OMPI_COMM_WORLD_SIZE");
    char* end = nullptr;
    const long rank = rankText ? std::strtol(rankText, &end, 10) : -1;
    const bool rankRead = rankText && *rankText && !*end;
    const long size = sizeText ? std::strtol(sizeText, &end, 10) : 0;
    if (rankRead && sizeText && *sizeText && !*end && rank >= 0 && rank < size && size <= (1 << 20)) {
        preferSharedMemory(size);
        return std::make_unique<Rank>(int(rank), int(size), true);
    }
    error = initMpi();
    if (!error.empty()) return nullptr;
    int r = 0, n = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &r);
    MPI_Comm_size(MPI_COMM_WORLD, &n);
    return std::make_unique<Rank>(r, n, false);
}

}  // namespace tr
