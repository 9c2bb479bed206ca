// The sample archive's audio, the manual, the picture and the install, checked with
// independent tools: libsndfile, sox, groff and cmake itself.
#include "bgmtable.h"
#include "testutil.h"

#include <cstdlib>
#include <filesystem>
#ifdef DORVU_HAVE_SNDFILE
#include <sndfile.h>
#endif
#include <unistd.h>

#ifdef DORVU_HAVE_SNDFILE
// The music archive opens every loop section with a loud beep; the only loud samples.
// At rep 2 it must be heard exactly twice: where the loop first starts, and where the
// repeat starts right after the track's end.
TEST(Demo, LoopMarkerHeardAtEachRepeat)
{
    tempdir d;
    putarchive(d, musicarchive());
    ASSERT_EQ(run(d.path, {}).status, 0);
    fixtable();
    for (int i : {4, 11, 13}) {
        const bgmentry &t = bgmtable[i];
        SF_INFO info = {};
        SNDFILE *f = sf_open((d / bgmfile[0][i]).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        std::vector<short> pcm(2 * info.frames);
        ASSERT_EQ(sf_readf_short(f, pcm.data(), info.frames), info.frames);
        sf_close(f);

        std::vector<long> onsets;
        long last = -100000;
        for (long k = 0; k < info.frames; k++) {
            if (std::abs(pcm[2 * k]) > 16000) {
                if (k - last > 4410)
                    onsets.push_back(k);
                last = k;
            }
        }
        ASSERT_EQ(onsets.size(), 2u) << bgmfile[0][i];
        long first = (t.loop - t.start) / 4, second = (t.end - t.start) / 4;
        EXPECT_NEAR(onsets[0], first, 20) << bgmfile[0][i];
        EXPECT_NEAR(onsets[1], second, 20) << bgmfile[0][i];
    }
}
#endif

// sox, cutting the track out of the raw archive by itself, writes the same file.
TEST(Demo, SoxCutsTheSameTrack)
{
    tempdir d;
    putarchive(d, patternarchive());
    ASSERT_EQ(run(d.path, {}).status, 0);
    fixtable();
    const bgmentry &t = bgmtable[4];
    std::string raw = "-t raw -r 44100 -e signed -b 16 -c 2 " + d.path + "/dorvu.dat -p trim ";
    std::string cmd = "sox -D -t sox \"|sox " + raw + std::to_string(t.start / 4) +
                      "s =" + std::to_string(t.end / 4) + "s\" -t sox \"|sox " + raw +
                      std::to_string(t.loop / 4) + "s =" + std::to_string(t.end / 4) +
                      "s\" -b 16 -e signed-integer " + d.path + "/sox.wav 2>&1";
    int status;
    std::string said = shell(cmd, &status);
    ASSERT_EQ(status, 0) << said;
    EXPECT_TRUE(readfile(d / "sox.wav") == readfile(d / "kivo_05.wav"));
}

TEST(Docs, ManualRendersWithoutWarnings)
{
    int status;
    std::string page = std::string(SOURCE_DIR) + "/docs/dorvu.1";
    std::string warnings = shell("groff -man -Tutf8 -ww -z " + page + " 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(warnings, "");
    std::string text = shell("groff -man -Tutf8 -P-cbou " + page + " 2>/dev/null", &status);
    for (const char *section :
         {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "FILES", "EXAMPLES", "FAILURE"})
        EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos) << section;
}

TEST(Docs, PictureMatchesTheTable)
{
    int status;
    std::string svg = shell(emulator() + MKSVG_BIN, &status);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(svg == readfile(std::string(SOURCE_DIR) + "/docs/archive.svg"))
        << "docs/archive.svg is stale: rebuild it with mksvg > docs/archive.svg";
}

// The README is short: it sends a reader to the manual page and to HACKING.md.
TEST(Docs, ReadmeLinksTheManualAndTheGuide)
{
    std::string readme = readfile(std::string(SOURCE_DIR) + "/README.md");
    for (const char *link : {"](docs/dorvu.1)", "](HACKING.md)", "](docs/archive.svg)"})
        EXPECT_NE(readme.find(link), std::string::npos) << "README.md links no " << link;
}

TEST(Docs, InstallPutsToolAndManualInPlace)
{
    tempdir d;
    int status;
    std::string said = shell(
        "cmake --install " + std::string(BUILD_DIR) + " --prefix " + d.path + " 2>&1", &status);
    ASSERT_EQ(status, 0) << said;
    EXPECT_EQ(access((d / "bin/dorvu").c_str(), X_OK), 0);
    EXPECT_TRUE(readfile(d / "share/man/man1/dorvu.1") ==
                readfile(std::string(SOURCE_DIR) + "/docs/dorvu.1"));
    EXPECT_EQ(shell(emulator() + d / "bin/dorvu 11", &status), "REP must be 1-10\n");
    EXPECT_EQ(status, 1);
}
