// Benchmark documents: large, deterministic, PDF-like text that compresses the way
// real documents roughly do (a few times, not a hundred times).
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/frames.h"

// A document of exactly size bytes: a PDF header, page content streams of text
// operators over pseudo-random words and coordinates, and an end marker. The same
// size and seed always give the same bytes.
Bytes pdf_like_document(size_t size, uint64_t seed = 1);
