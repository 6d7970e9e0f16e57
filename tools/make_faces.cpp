// Makes the six shipped face pictures: die faces with 1 to 6 pips, each on
// its own background colour, opposite faces adding to 7 like the file
// numbers, and an "F" in the top-left corner that shows at a glance whether
// a face is turned or mirrored.
//
// Usage: make_faces [directory]   (default: Data)

#include "picture.h"

#include <cstdio>
#include <string>

namespace {

const int side = 256;

// Pip centres on a 3 x 3 grid, in units of a quarter side.
struct Pip {
    int col, row;
};

const Pip topLeft = {1, 1}, topRight = {3, 1}, midLeft = {1, 2}, centre = {2, 2}, midRight = {3, 2},
          bottomLeft = {1, 3}, bottomRight = {3, 3};

void drawPip(Picture &face, Pip pip, Rgb colour)
{
    const int cx = pip.col * side / 4, cy = pip.row * side / 4, radius = 22;
    for (int y = cy - radius; y <= cy + radius; ++y)
        for (int x = cx - radius; x <= cx + radius; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius)
                face.at(x, y) = colour;
}

void drawMarkF(Picture &face, Rgb colour)
{
    face.fillRect(10, 8, 20, 56, colour);  // stem
    face.fillRect(20, 8, 46, 17, colour);  // top bar
    face.fillRect(20, 28, 40, 37, colour); // middle bar
}

Picture dieFace(int pips, Rgb background)
{
    Picture face(side, side, background);
    const Rgb ink = {24, 24, 32};
    const Rgb edge = {255, 255, 255};
    face.fillRect(0, 0, side, 3, edge);
    face.fillRect(0, side - 3, side, side, edge);
    face.fillRect(0, 0, 3, side, edge);
    face.fillRect(side - 3, 0, side, side, edge);
    drawMarkF(face, ink);

    const bool corners = pips >= 4, diagonal = pips == 2 || pips == 3;
    if (pips % 2 == 1)
        drawPip(face, centre, ink);
    if (corners || diagonal) {
        drawPip(face, topRight, ink);
        drawPip(face, bottomLeft, ink);
    }
    if (corners) {
        drawPip(face, topLeft, ink);
        drawPip(face, bottomRight, ink);
    }
    if (pips == 6) {
        drawPip(face, midLeft, ink);
        drawPip(face, midRight, ink);
    }
    return face;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : "Data";
    const Rgb backgrounds[6] = {
        {214, 48, 49},  // 1: red
        {240, 160, 40}, // 2: orange
        {238, 214, 64}, // 3: yellow
        {72, 170, 90},  // 4: green
        {60, 120, 210}, // 5: blue
        {150, 90, 190}, // 6: violet
    };
    for (int n = 1; n <= 6; ++n) {
        const std::string path = dir + "/cube" + std::to_string(n) + ".bmp";
        if (!writeBmp(path, dieFace(n, backgrounds[n - 1]))) {
            std::fprintf(stderr, "make_faces: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
