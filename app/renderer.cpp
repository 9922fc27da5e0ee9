#include "renderer.h"

#include <QElapsedTimer>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QString>
#include <QtGlobal>

namespace {

// Why OpenGL cannot draw Qt Quick here; empty when it can. version receives
// what the context reports.
QString openGLProblem(QString *version)
{
    QOpenGLContext context;
    if (!context.create())
        return QStringLiteral("no OpenGL context");
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!context.makeCurrent(&surface))
        return QStringLiteral("the OpenGL context cannot be made current");
    const QSurfaceFormat format = context.format();
    *version = QStringLiteral("%1 %2.%3")
                       .arg(context.isOpenGLES() ? QStringLiteral("OpenGL ES") : QStringLiteral("OpenGL"))
                       .arg(format.majorVersion())
                       .arg(format.minorVersion());
    QString problem;
    // The scene graph draws with shaders, which came with 2.0 (ES 2.0 too).
    if (format.majorVersion() < 2)
        problem = *version + QStringLiteral(" is older than 2.0");
    // A driver may claim a version without its entry points, and Qt Quick would
    // call a null one. OpenGL ES 2 links them directly.
    else if (!context.isOpenGLES() && !context.getProcAddress("glCreateShader"))
        problem = *version + QStringLiteral(" without glCreateShader");
    context.doneCurrent();
    return problem;
}

} // namespace

void chooseRenderer()
{
    for (const char *name : {"QT_QUICK_BACKEND", "QMLSCENE_DEVICE", "QT_OPENGL"}) {
        if (qEnvironmentVariableIsSet(name)) {
            qDebug("renderer: left to Qt, %s is set", name);
            return;
        }
    }
    QElapsedTimer timer;
    timer.start();
    QString version;
    const QString problem = openGLProblem(&version);
    if (!problem.isEmpty())
        QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    qDebug("renderer: %s (checked in %lld ms)",
           qUtf8Printable(problem.isEmpty() ? version : QStringLiteral("software, ") + problem),
           timer.elapsed());
}
