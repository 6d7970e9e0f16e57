// Start-up: opens the window, fixes the OpenGL state, loads the faces and
// hands control to GLUT's main loop for the rest of the process's life.

#include "startup.h"

#include "scene.h"
#include "view.h"

#include <GL/glut.h>

double rotStepX;
double rotStepY;
double rotStepZ;

// Registered so that GLUT's loop never blocks; it draws nothing and posts
// no redisplay, so the picture changes only on window and key events.
void idle() {}

int main(int argc, char **argv)
{
    rotStepX = 2.0;
    rotStepY = 2.0;
    rotStepZ = 2.0;

    // The first face pictures load (by decoder programs, on Linux) while GLUT starts up.
    startFaceLoads();

    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(800, 600);
    glutInitWindowPosition(200, 200);
    glutCreateWindow("color");

    // Fixed state for the whole run. The clear depth of 10 is clamped to 1,
    // the far end; with the projection's z flip and GL_LEQUAL the surface
    // farthest from the viewer wins each pixel.
    glEnable(GL_TEXTURE_2D);
    glShadeModel(GL_SMOOTH);
    glClearDepth(10.0);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LEQUAL);

    loadFaceTextures();

    // GLUT callbacks.
    glutDisplayFunc(display);
    glutReshapeFunc(reshape);
    glutIdleFunc(idle);
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(specialKeys);

    glutMainLoop();
    return 0;
}
