// Render farms in tessra-render: crop windows, and one frame shared by the ranks of an
// MPI job. Kept apart from main.cpp so that the program builds without MPI.
#pragma once

#include <memory>
#include <string>

#include "image_io.h"
#include "tessra.h"

namespace tr {

// A half-open pixel window x0 <= x < x1, y0 <= y < y1 of the whole frame.
struct CropWindow {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Reads "X0,Y0,X1,Y1" and checks it against a width x height frame; false with a reason
// for text that is not four integers, an empty window or one reaching outside the frame.
bool parseCropWindow(const std::string& text, int width, int height, CropWindow& crop, std::string& error);

// The window's pixels (and output passes) of a whole frame, placed in that frame for
// OpenEXR's data window.
Image cropImage(const Image& frame, const CropWindow& crop);

// One rank of `mpirun ... tessra-render --mpi`. Every rank renders; tiles are claimed
// from rank 0 in the library's order, and rank 0 grants each to the first that asks, so
// a faster rank takes more. The other ranks send their rows to rank 0 as they arrive,
// so that an interrupted job still has every finished tile on rank 0.
class MpiRank {
public:
    enum class Outcome { Complete, Interrupted, Failed };

    virtual ~MpiRank() = default;
    virtual int rank() const = 0;
    virtual int size() const = 0;
    // Connects the renderer: the tile filter, and callbacks that pass the rows to rank 0
    // there and forward everything else to `host`. The output passes the library writes
    // into `frame` follow each finished tile to rank 0's `frame`. Call before Render.
    virtual void attach(TessraRendererCUDA& renderer, TessraCallbacks& host, Image& frame) = 0;
    // After Render: reports this rank's end (`failed` when its render failed) and, on
    // rank 0, waits for every rank's rows. Rank 0 learns the job's outcome; a problem is
    // described in `error`.
    virtual Outcome finish(bool failed, std::string& error) = 0;
};

// True when this build has an MPI mode.
bool mpiAvailable();
// Starts MPI (MPI_Finalize runs when the object goes). nullptr, with a reason, when MPI
// is missing from this build or will not start.
std::unique_ptr<MpiRank> startMpi(std::string& error);

}  // namespace tr
