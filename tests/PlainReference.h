// A deliberately plain implementation of the whole analysis, written step by step in
// the documented order (whole-channel sample arrays, one window summed sample by sample,
// a linked list walked from its tail, the quadratic energy-based scan). It is the oracle
// the differential tests compare the engine against; speed does not matter here.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace plain {

struct Seg {
    int32_t start;
    int32_t end;
};

struct Loaded {
    bool ok = false;
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint32_t sampleCount = 0;
    uint32_t frameLength = 0;
    uint32_t frameCount = 0;
    std::vector<double> energy[2];
    double maxEnergy = 0.0;
};

Loaded LoadWav(const std::string& path);

// Frame runs [first, end) as the scans find them.
std::vector<std::pair<int32_t, int32_t>> EnergyBased(const std::vector<double>& e, double m,
                                                     double t);
std::vector<double> BlockSums(const std::vector<double>& e, uint32_t w);
std::vector<std::pair<int32_t, int32_t>> EnergyGlitch(const std::vector<double>& e,
                                                      const std::vector<double>& b, double m,
                                                      double p, double t);

int32_t FrameToMs(const Loaded& l, int32_t frame);

void InsertSegment(std::list<Seg>& list, int32_t start, int32_t end);
void MergeGaps(std::list<Seg>& list, int32_t gap);
void ExtendEnds(std::list<Seg>& list, int32_t amount);
void ShiftAll(std::list<Seg>& list, int32_t offset);
void FixOverlaps(std::list<Seg>& list);
std::string SrtText(const std::list<Seg>& list);
std::string FormatTime(int32_t ms);

// The whole detection run on a loaded file; returns the SRT text.
std::string RunEnergyBased(const Loaded& l, double t);
std::string RunEnergyGlitch(const Loaded& l, double t, double p);

} // namespace plain
