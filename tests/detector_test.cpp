// The two detectors over energy arrays: worked examples, boundaries, and a differential
// test of the linear-time energy-based scan against the plain quadratic one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "Detectors.h"
#include "PlainReference.h"

using kestrun::detect::FrameRun;

namespace {

std::vector<FrameRun> EnergyBased(const std::vector<double>& e, double m, double t) {
    std::vector<FrameRun> out;
    kestrun::detect::DetectEnergyBased(e, m, t, out);
    return out;
}

std::vector<FrameRun> FromPairs(const std::vector<std::pair<int32_t, int32_t>>& v) {
    std::vector<FrameRun> out;
    for (auto [a, b] : v) {
        out.push_back({a, b});
    }
    return out;
}

std::vector<FrameRun> Glitch(const std::vector<double>& e, uint32_t w, double m, double p,
                             double t) {
    std::vector<double> b(e.size());
    kestrun::detect::ComputeBlockSums(e, w, b);
    std::vector<FrameRun> out;
    kestrun::detect::DetectEnergyGlitch(e, b, m, p, t, out);
    return out;
}

} // namespace

TEST(EnergyBased, WorkedExample) {
    std::vector<double> r(110, 0.0);
    const double ratios[] = {0.01, 0.03, 0.05, 0.20, 0.10, 0.01, 0};
    std::copy(std::begin(ratios), std::end(ratios), r.begin() + 98);
    // Energies equal to the ratios with a maximum of 1 keep every ratio exact.
    EXPECT_EQ(EnergyBased(r, 1.0, 0.045), (std::vector<FrameRun>{{99, 104}}));
}

TEST(EnergyBased, ScoreLimit) {
    // A lone frame followed by a quiet one scores (r - T)^2 / 2.
    auto lone = [](double r) {
        std::vector<double> e(10, 0.0);
        e[5] = r;
        return e;
    };
    EXPECT_EQ(EnergyBased(lone(0.06), 1.0, 0.045), (std::vector<FrameRun>{{5, 7}}));
    EXPECT_TRUE(EnergyBased(lone(0.059), 1.0, 0.045).empty());

    // Exact ties at the limit are rejected, the next double up is kept.
    struct Tie {
        double t;
        double r;
    };
    for (const Tie tie : {Tie{0.0, 0x1.cf68d4fff04ddp-7}, Tie{0.01, 0x1.8b8b74bd68cacp-6}}) {
        std::vector<double> e = {tie.r, 0.0};
        int32_t end = 0, start = 0;
        EXPECT_FALSE(kestrun::detect::FindEnergyBasedEnd(e, 0, 1.0, tie.t, &end, &start));
        EXPECT_TRUE(EnergyBased(e, 1.0, tie.t).empty());
        e[0] = std::nextafter(tie.r, 1.0);
        EXPECT_EQ(EnergyBased(e, 1.0, tie.t), (std::vector<FrameRun>{{0, 2}}));
    }

    // A ratio equal to the threshold starts a candidate and keeps a walk going.
    std::vector<double> e = {0, 0, 0, 0.045, 0.045, 0.2, 0.045, 0};
    EXPECT_EQ(EnergyBased(e, 1.0, 0.045), (std::vector<FrameRun>{{3, 8}}));
}

TEST(EnergyBased, EdgesOfTheChannel) {
    EXPECT_TRUE(EnergyBased({}, 1.0, 0.045).empty());
    EXPECT_TRUE(EnergyBased(std::vector<double>(50, 0.0), 0.0, 0.045).empty()) << "all silent";

    // The loudest frame alone, anywhere up to N - 2.
    for (int j = 0; j <= 8; ++j) {
        std::vector<double> e(10, 0.0);
        e[std::size_t(j)] = 7.0;
        EXPECT_EQ(EnergyBased(e, 7.0, 0.045), (std::vector<FrameRun>{{j, j + 2}})) << j;
    }
    // A candidate on the last frame alone always scores 0.
    std::vector<double> e(10, 0.0);
    e[9] = 1.0;
    EXPECT_TRUE(EnergyBased(e, 1.0, 0.045).empty());
    // A run to the last frame ends at N.
    e[8] = 1.0;
    EXPECT_EQ(EnergyBased(e, 1.0, 0.045), (std::vector<FrameRun>{{8, 10}}));
}

TEST(EnergyBased, StartRefinement) {
    // Frames at half the threshold pull the start back, but never to frame 0.
    std::vector<double> e(20, 0.03);
    e[6] = 1.0;
    EXPECT_EQ(EnergyBased(e, 1.0, 0.045), (std::vector<FrameRun>{{1, 8}}));
    e.assign(20, 0.0);
    e[0] = 0.03;
    e[1] = 1.0;
    EXPECT_EQ(EnergyBased(e, 1.0, 0.045), (std::vector<FrameRun>{{1, 3}}));
    e[1] = 0.03;
    e[0] = 1.0;
    EXPECT_EQ(EnergyBased(e, 1.0, 0.045), (std::vector<FrameRun>{{0, 2}}));

    // Frame e after a run is not tested as a start, but the next run's refinement walks
    // back over it and over the run before.
    e.assign(20, 0.03);
    e[3] = 1.0;
    e[5] = 1.0; // the end of the first run: skipped although loud
    e[7] = 1.0;
    EXPECT_EQ(EnergyBased(e, 1.0, 0.045), (std::vector<FrameRun>{{1, 5}, {1, 9}}));
}

TEST(EnergyGlitch, BlockSums) {
    std::vector<double> e(12);
    for (int i = 0; i < 12; ++i) {
        e[std::size_t(i)] = i;
    }
    std::vector<double> b(12);
    kestrun::detect::ComputeBlockSums(e, 3, b);
    EXPECT_EQ(b, (std::vector<double>{3, 3, 3, 12, 12, 12, 12, 24, 24, 24, 24, 24}));

    // As many frames as a block, and fewer: every entry is the sum of what exists.
    for (std::size_t n : {3u, 2u, 1u}) {
        std::vector<double> s(e.begin(), e.begin() + long(n)), out(n, -1);
        kestrun::detect::ComputeBlockSums(s, 3, out);
        const double all = n * (n - 1) / 2.0;
        EXPECT_EQ(out, std::vector<double>(n, all)) << n;
    }
    std::vector<double> none;
    kestrun::detect::ComputeBlockSums(none, 384, none);
}

TEST(EnergyGlitch, WorkedExamplesAndBoundaries) {
    std::vector<double> e(12, 1.0);
    e[8] = 6.0;
    EXPECT_EQ(Glitch(e, 3, 6.0, 0.1, 0.5), (std::vector<FrameRun>{{8, 10}}));

    // A lone positive energy: its own block (ratio 1) or a silent block (+inf).
    for (int j : {0, 1, 4, 5, 11}) {
        std::vector<double> z(12, 0.0);
        z[std::size_t(j)] = 5.0;
        const int32_t end = j == 11 ? 12 : j + 2;
        EXPECT_EQ(Glitch(z, 3, 5.0, 1.0, 1.0), (std::vector<FrameRun>{{j, end}})) << j;
    }
    // Ratios exactly at P and T pass.
    std::vector<double> flat(6, 1.0);
    EXPECT_EQ(Glitch(flat, 3, 1.0, 1.0, 1.0 / 3.0), (std::vector<FrameRun>{{0, 6}}));
    EXPECT_TRUE(Glitch(flat, 3, 1.0, 1.0, std::nextafter(1.0 / 3.0, 1.0)).empty());
    // A channel shorter than a block reads nothing beyond its end.
    EXPECT_EQ(Glitch({0, 4, 0}, 384, 4.0, 0.5, 0.5), (std::vector<FrameRun>{{1, 3}}));
    EXPECT_TRUE(Glitch({}, 384, 0.0, 0.5, 0.5).empty());
    EXPECT_TRUE(Glitch(std::vector<double>(40, 0.0), 3, 0.0, 0.0, 0.0).empty()) << "all silent";
}

TEST(EnergyGlitch, MatchesPlainScanOnRandomChannels) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = rng() % 400;
        const uint32_t w = 1 + uint32_t(rng() % 40);
        std::vector<double> e(n);
        double m = 0;
        for (double& x : e) {
            x = rng() % 3 == 0 ? 0.0 : double(rng() % 100000);
            m = std::max(m, x);
        }
        const double p = (rng() % 100) / 1000.0, t = (rng() % 100) / 300.0;
        EXPECT_EQ(Glitch(e, w, m, p, t),
                  FromPairs(plain::EnergyGlitch(e, plain::BlockSums(e, w), m, p, t)))
            << "round " << round;
    }
}

namespace {

// Energy arrays built to hurt the linear-time scan: long loud stretches whose candidates
// keep being rejected, scores within rounding of the limit, ties, half-threshold
// stretches that refinement walks back over again and again.
std::vector<double> AdversarialEnergies(std::mt19937_64& rng, double t, double* maxEnergy) {
    std::vector<double> e;
    const int pieces = 1 + int(rng() % 12);
    for (int p = 0; p < pieces; ++p) {
        const std::size_t len = 1 + rng() % (rng() % 4 == 0 ? 3000 : 60);
        switch (rng() % 7) {
        case 0: // silence
            e.insert(e.end(), len, 0.0);
            break;
        case 1: // between half the threshold and the threshold
            for (std::size_t i = 0; i < len; ++i) {
                e.push_back(t * (0.5 + 0.5 * double(rng() % 1000) / 1000.0));
            }
            break;
        case 2: { // constant ratio whose score crosses the limit inside the run
            const double k = double(1 + rng() % len);
            const double r = t + std::sqrt(0.0001 * (k + 1) / k);
            const int wobble = int(rng() % 3);
            for (std::size_t i = 0; i < len; ++i) {
                double x = r;
                for (int u = 0; u < wobble; ++u) {
                    x = std::nextafter(x, rng() % 2 ? 2.0 : 0.0);
                }
                e.push_back(x);
            }
            break;
        }
        case 3: // low stretch every candidate of which is rejected
            e.insert(e.end(), len, t + 0.005);
            break;
        case 4: // exactly at the threshold
            e.insert(e.end(), len, t);
            break;
        case 5: // a peak
            e.push_back(1.0);
            break;
        default: // noise over the whole range
            for (std::size_t i = 0; i < len; ++i) {
                e.push_back(double(rng() % 1000) / 1000.0 * (rng() % 2 ? 1.0 : 0.1));
            }
        }
    }
    *maxEnergy = 1.0;
    return e;
}

} // namespace

TEST(EnergyBased, MatchesPlainScan) {
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 2000; ++round) {
        const double thresholds[] = {0.045, 0.0, 0.01, 0.3, double(rng() % 1000) / 1000.0};
        const double t = thresholds[rng() % 5];
        double m = 1.0;
        std::vector<double> e = AdversarialEnergies(rng, t, &m);
        if (round % 5 == 0) {
            // Integer energies measured against a maximum that is not 1, as a load makes.
            m = 0;
            for (double& x : e) {
                x = std::floor(x * 1e9);
                m = std::max(m, x);
            }
        }
        ASSERT_EQ(EnergyBased(e, m, t), FromPairs(plain::EnergyBased(e, m, t)))
            << "round " << round << ", " << e.size() << " frames, T " << t;
    }
}

TEST(EnergyBased, MatchesPlainScanOnRandomChannels) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < 500; ++round) {
        std::vector<double> e(rng() % 500);
        double m = 0;
        for (double& x : e) {
            x = rng() % 4 == 0 ? 0.0 : double(rng() % 1000000);
            m = std::max(m, x);
        }
        const double t = double(rng() % 200) / 1000.0;
        ASSERT_EQ(EnergyBased(e, m, t), FromPairs(plain::EnergyBased(e, m, t))) << round;
    }
}
