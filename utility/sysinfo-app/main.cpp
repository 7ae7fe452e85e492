// Prints the version, vendor, renderer and extensions of the machine's OpenGL as one JSON
// object with string members. Where no OpenGL context can be made it prints nothing and
// exits with status 1, so its reader sees no object.
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string glString(QOpenGLFunctions* functions, GLenum name) {
    const GLubyte* text = functions->glGetString(name);
    return text ? reinterpret_cast<const char*>(text) : "";
}

std::string extensionList(const QOpenGLContext& context) {
    std::vector<std::string> names;
    for (const QByteArray& name : context.extensions()) {
        names.push_back(name.toStdString());
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names) {
        list += (list.empty() ? "" : " ") + name;
    }
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    // Without a display the windowing plugin would abort; the offscreen one may still offer OpenGL.
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    QGuiApplication application(argc, argv);

    QOpenGLContext context;
    if (!context.create()) {
        return 1;
    }
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!surface.isValid() || !context.makeCurrent(&surface)) {
        return 1;
    }
    QOpenGLFunctions* functions = context.functions();
    const nlohmann::json facts = {
        {"Version", glString(functions, GL_VERSION)},
        {"Vendor", glString(functions, GL_VENDOR)},
        {"Renderer", glString(functions, GL_RENDERER)},
        {"Extensions", extensionList(context)},
    };
    context.doneCurrent();
    std::cout << facts.dump() << std::endl;
    return 0;
}
