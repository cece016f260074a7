// What the app's tests share: answers in the user's place, the program run beside the window,
// files read whole, and generated inputs.
#pragma once

#include <QtTest>
#include <cstdio>
#include <deque>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "crowd_scene.h"
#include "dialogs.h"
#include "main_window.h"

// Answers the window's questions from a script, in order, and keeps what it was asked. Without
// an answer left: no, and no file.
class ScriptedDialogs : public Dialogs {
public:
    std::deque<QString> answers;  // "yes" or "no", a choice's index, a file (files: one a line), a text, a number
    QStringList asked;            // each dialogue's title, then its text where it has one

    void inform(QWidget*, const QString& title, const QString& text) override { asked << title << text; }
    bool question(QWidget*, const QString& title, const QString& text) override {
        return asked << title << text, take() == "yes";
    }
    int choose(QWidget*, const QString& title, const QString& text, const QStringList&) override {
        asked << title << text;
        const QString a = take();
        return a.isEmpty() ? -1 : a.toInt();
    }
    QString openFile(QWidget*, const QString& title, const QString&) override { return asked << title, take(); }
    QStringList openFiles(QWidget*, const QString& title) override {
        asked << title;
        const QString a = take();
        return a.isEmpty() ? QStringList() : a.split('\n');
    }
    QString openFolder(QWidget*, const QString& title) override { return asked << title, take(); }
    QString saveFile(QWidget*, const QString& title, const QString&, const QString&) override {
        return asked << title, take();
    }
    QString text(QWidget*, const QString& title, const QString&, const QString&) override {
        return asked << title, take();
    }
    bool number(QWidget*, const QString& title, const QString&, double& value) override {
        asked << title;
        const QString a = take();
        value = a.toDouble();
        return !a.isEmpty();
    }

private:
    QString take() {
        if (answers.empty()) return {};
        const QString a = answers.front();
        answers.pop_front();
        return a;
    }
};

// The window's dialogues answered by a script the test keeps.
inline ScriptedDialogs& scripted(MainWindow& window) {
    auto* dialogs = new ScriptedDialogs;
    window.setDialogs(std::unique_ptr<Dialogs>(dialogs));
    return *dialogs;
}

// `text` holds `piece`; the text is told where it does not.
#define QVERIFY_HOLDS(s, piece) QVERIFY2(std::string(s).find(piece) != std::string::npos, std::string(s).c_str())

inline std::string readText(const std::string& file) {
    std::stringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

// Runs the program with `args` (shell words); its standard output.
inline std::string program(const std::string& args) {
    std::string out;
    FILE* pipe = popen((AMBREVO_EXE " " + args + " 2>/dev/null").c_str(), "r");
    for (char buffer[4096]; size_t n = fread(buffer, 1, sizeof buffer, pipe);) out.append(buffer, n);
    pclose(pipe);
    return out;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A generated crowd as an MJPEG video; its arenas as --roi values.
inline std::vector<std::string> writeScene(const std::string& file, const crowd_scene::settings& s, int frames) {
    crowd_scene::scene scene(s);
    cv::VideoWriter writer(file, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, {s.width, s.height});
    cv::Mat frame(s.height, s.width, CV_8UC3);
    for (int f = 0; f < frames; ++f) {
        if (f) scene.next();
        scene.bgr(frame.data, int64_t(frame.step));
        writer.write(frame);
    }
    std::vector<std::string> rois;
    for (const crowd_scene::rect& r : scene.arenas())
        rois.push_back("rect:" + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) +
                       "," + std::to_string(r.height));
    return rois;
}

// Drags with `button` from `from` over `via` to `to` (widget points).
inline void drag(QWidget* widget, Qt::MouseButton button, QPoint from, QPoint via, QPoint to) {
    QTest::mousePress(widget, button, {}, from);
    QTest::mouseMove(widget, via);
    QTest::mouseRelease(widget, button, {}, to);
}

// Waits for the run or export in hand to end.
inline bool waitForRun(MainWindow& window, int ms = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (window.running() && clock.elapsed() < ms) QTest::qWait(20);
    return !window.running();
}
