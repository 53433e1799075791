// Compares the frame hashes of two builds of the module (see frame_dump.h) and, where raw
// frames of differing frames exist, measures the difference in pixels.
//
//   compare_frames [--raw-a DIR --raw-b DIR] [--spec-out FILE] A.txt B.txt
//
// Both files must hold exactly one line per frame of every golden scenario, in order.
// --spec-out writes the first differing frame of each scenario as a --frames list for the
// frame writers, so a second run can fetch just those raw frames.
//
// Exit status: 0 identical, 1 different, 2 unusable input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frame_dump.h"

namespace {

struct Line {
    std::string scenario;
    int frame = 0;
    std::string hash;
};

// Reads a hash file and checks it covers every frame of every scenario, in order.
bool ReadLines(const std::string& path, std::vector<Line>& lines)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        return false;
    }
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream fields(text);
        Line line;
        std::string extra;
        if (!(fields >> line.scenario >> line.frame >> line.hash) || (fields >> extra) ||
            line.hash.size() != 16) {
            std::cerr << path << ": malformed line \"" << text << "\"\n";
            return false;
        }
        lines.push_back(line);
    }
    std::size_t at = 0;
    for (int i = 0; i < ScenarioCount; ++i) {
        for (int f = 0; f < Scenarios[i].frames; ++f, ++at) {
            if (at >= lines.size() || lines[at].scenario != Scenarios[i].name ||
                lines[at].frame != f) {
                std::cerr << path << ": expected " << Scenarios[i].name << " frame " << f
                          << " at line " << at + 1 << "\n";
                return false;
            }
        }
    }
    if (at != lines.size()) {
        std::cerr << path << ": " << lines.size() - at << " lines past the last scenario\n";
        return false;
    }
    return true;
}

bool ReadRaw(const std::string& path, std::size_t words, std::vector<uint32_t>& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(words, 0);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(words * 4));
    return static_cast<std::size_t>(in.gcount()) == words * 4 && in.peek() == EOF;
}

std::string RawPath(const std::string& dir, const Scenario& s, int frame)
{
    char path[1024];
    RawFramePath(path, sizeof path, dir.c_str(), s.name, frame);
    return path;
}

struct PixelDifference {
    long pixels = 0;       // words that differ (spare words right of the rows included)
    int maxChannel = 0;    // largest difference of one 8-bit channel
    int firstX = -1, firstY = -1;
};

PixelDifference Measure(const Scenario& s, const std::vector<uint32_t>& a,
                        const std::vector<uint32_t>& b)
{
    PixelDifference d;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        if (d.pixels++ == 0) {
            d.firstX = static_cast<int>(i % static_cast<std::size_t>(s.pitch));
            d.firstY = static_cast<int>(i / static_cast<std::size_t>(s.pitch));
        }
        for (int shift = 0; shift < 32; shift += 8) {
            int ca = static_cast<int>((a[i] >> shift) & 0xFFu);
            int cb = static_cast<int>((b[i] >> shift) & 0xFFu);
            d.maxChannel = std::max(d.maxChannel, std::abs(ca - cb));
        }
    }
    return d;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string rawA, rawB, specOut;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--raw-a" && i + 1 < argc) rawA = argv[++i];
        else if (arg == "--raw-b" && i + 1 < argc) rawB = argv[++i];
        else if (arg == "--spec-out" && i + 1 < argc) specOut = argv[++i];
        else files.push_back(arg);
    }
    if (files.size() != 2) {
        std::cerr << "usage: compare_frames [--raw-a DIR --raw-b DIR] [--spec-out FILE] A.txt B.txt\n";
        return 2;
    }
    std::vector<Line> a, b;
    if (!ReadLines(files[0], a) || !ReadLines(files[1], b)) return 2;

    std::string spec;
    long allFrames = 0, allDiffering = 0, allPixels = 0;
    int allMaxChannel = 0;
    std::size_t at = 0;
    for (int i = 0; i < ScenarioCount; ++i) {
        const Scenario& s = Scenarios[i];
        const std::size_t words = static_cast<std::size_t>(s.height) * static_cast<std::size_t>(s.pitch);
        int differing = 0, first = -1, measured = 0, maxChannel = 0;
        long pixels = 0;
        for (int f = 0; f < s.frames; ++f, ++at) {
            ++allFrames;
            if (a[at].hash == b[at].hash) continue;
            ++differing;
            if (first < 0) first = f;
            std::vector<uint32_t> pa, pb;
            if (rawA.empty() || rawB.empty() || !ReadRaw(RawPath(rawA, s, f), words, pa) ||
                !ReadRaw(RawPath(rawB, s, f), words, pb))
                continue;
            PixelDifference d = Measure(s, pa, pb);
            ++measured;
            pixels += d.pixels;
            maxChannel = std::max(maxChannel, d.maxChannel);
            if (f == first)
                std::printf("  %s frame %d: %ld differing pixels, largest channel difference %d, "
                            "first at (%d, %d)\n",
                            s.name, f, d.pixels, d.maxChannel, d.firstX, d.firstY);
        }
        allDiffering += differing;
        allPixels += pixels;
        allMaxChannel = std::max(allMaxChannel, maxChannel);
        if (differing == 0) {
            std::printf("%-28s %3d frames identical\n", s.name, s.frames);
            continue;
        }
        std::printf("%-28s %3d of %d frames differ, first at frame %d", s.name, differing,
                    s.frames, first);
        if (measured > 0)
            std::printf("; over %d measured frames: %ld differing pixels, largest channel "
                        "difference %d",
                        measured, pixels, maxChannel);
        std::printf("\n");
        spec += (spec.empty() ? "" : ",") + std::string(s.name) + ":" + std::to_string(first);
    }
    std::printf("total: %ld of %ld frames differ", allDiffering, allFrames);
    if (allPixels > 0)
        std::printf("; %ld differing pixels in the measured frames, largest channel difference %d",
                    allPixels, allMaxChannel);
    std::printf("\n");
    if (!specOut.empty()) {
        std::ofstream out(specOut, std::ios::binary);
        out << spec;
        if (!out) {
            std::cerr << "cannot write " << specOut << "\n";
            return 2;
        }
    }
    return allDiffering == 0 ? 0 : 1;
}
