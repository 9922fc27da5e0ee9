#ifndef RENDERER_H
#define RENDERER_H

// Qt Quick draws with OpenGL 2.0 unless told otherwise, and a driver that
// offers less ends the program (a modal error, or a call through a null entry
// point). Call after the application object exists and before any window:
// it selects Qt Quick's software renderer where OpenGL cannot draw, and writes
// one debug line naming the renderer and why. The user's own settings of the
// renderer (QT_QUICK_BACKEND, QMLSCENE_DEVICE, QT_OPENGL) are left to Qt.
void chooseRenderer();

#endif // RENDERER_H
