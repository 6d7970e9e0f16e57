// The cube: its six face textures and the one frame it draws.

#include "scene.h"

#include "face_files.h"
#include "loader/face_loader.h"

#include <GL/glut.h>
GLuint faceTexture[6];

void startFaceLoads()
{
    for (int i = 0; i < 6; ++i)
        startFaceLoad(i, faceFiles[i]);
}

void loadFaceTextures()
{
    // SOIL uploads tightly packed rows. With OpenGL's default alignment of 4,
    // an RGB picture whose row is not a multiple of 4 bytes would come out
    // sheared and OpenGL would read past the end of SOIL's pixel buffer.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);

    startFaceLoads();
    for (int i = 0; i < 6; ++i) {
        faceTexture[i] = finishFaceLoad(i);
        if (faceTexture[i] != 0) {
            glBindTexture(GL_TEXTURE_2D, faceTexture[i]);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        }
    }
}

namespace {

struct Corner {
    GLfloat s, t;    // texture coordinate; (0, 0) is the picture's bottom-left
    GLfloat x, y, z; // object-space vertex
};

struct Face {
    int slot; // index into faceTexture
    Corner corners[4];
};

// The cube of side 2 about the origin, one row per face in drawing order.
// Seen from outside, each face's corners run counter-clockwise and its
// picture stands upright and unmirrored.
const Face cubeFaces[6] = {
    // front, z = +1
    {0, {{0, 0, -1, -1, +1}, {1, 0, +1, -1, +1}, {1, 1, +1, +1, +1}, {0, 1, -1, +1, +1}}},
    // back, z = -1
    {5, {{1, 0, -1, -1, -1}, {1, 1, -1, +1, -1}, {0, 1, +1, +1, -1}, {0, 0, +1, -1, -1}}},
    // top, y = +1
    {1, {{0, 1, -1, +1, -1}, {0, 0, -1, +1, +1}, {1, 0, +1, +1, +1}, {1, 1, +1, +1, -1}}},
    // bottom, y = -1
    {4, {{1, 1, -1, -1, -1}, {0, 1, +1, -1, -1}, {0, 0, +1, -1, +1}, {1, 0, -1, -1, +1}}},
    // right, x = +1
    {2, {{1, 0, +1, -1, -1}, {1, 1, +1, +1, -1}, {0, 1, +1, +1, +1}, {0, 0, +1, -1, +1}}},
    // left, x = -1
    {3, {{0, 0, -1, -1, -1}, {1, 0, -1, -1, +1}, {1, 1, -1, +1, +1}, {0, 1, -1, +1, -1}}},
};

} // namespace

void display()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    for (const Face &face : cubeFaces) {
        // The texture can only change outside glBegin/glEnd: one pair per face.
        glBindTexture(GL_TEXTURE_2D, faceTexture[face.slot]);
        glBegin(GL_QUADS);
        for (const Corner &c : face.corners) {
            glTexCoord2f(c.s, c.t);
            glVertex3f(c.x, c.y, c.z);
        }
        glEnd();
    }
    glPopMatrix();
    glutSwapBuffers();
}
