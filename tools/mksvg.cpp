// mksvg: draws the archive's twenty tracks to scale, from the tool's own table, as SVG on
// standard output: one bar a track, its introduction light and its loop section dark.
#include "bgmtable.h"

#include <cstdio>

int main()
{
    const int left = 130, width = 640, row = 24, top = 40;
    int32_t longest = 0;

    fixtable();
    for (const bgmentry &t : bgmtable)
        if (t.end - t.start > longest)
            longest = t.end - t.start;

    printf("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
           "font-family=\"sans-serif\" font-size=\"12\">\n",
           left + width + 150, top + ntracks * row + 20);
    printf("<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    printf("<text x=\"10\" y=\"22\" font-size=\"14\">dorvu.dat: twenty tracks, introduction "
           "(light) and loop section (dark), in seconds</text>\n");
    for (int i = 0; i < ntracks; i++) {
        const bgmentry &t = bgmtable[i];
        double intro = (t.loop - t.start) / 176400.0, loop = (t.end - t.loop) / 176400.0;
        double scale = static_cast<double>(width) / longest;
        double w1 = (t.loop - t.start) * scale, w2 = (t.end - t.loop) * scale;
        int y = top + i * row;

        printf("<text x=\"10\" y=\"%d\">%2d %s</text>\n", y + 15, i, bgmfile[0][i]);
        printf("<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"18\" fill=\"#9ecae1\"/>\n", left, y,
               w1);
        printf("<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"18\" fill=\"#3182bd\"/>\n",
               left + w1, y, w2);
        printf("<text x=\"%.1f\" y=\"%d\">%.1f s + %.1f s</text>\n", left + w1 + w2 + 6, y + 15,
               intro, loop);
    }
    printf("</svg>\n");
    return 0;
}
