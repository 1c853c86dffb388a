#pragma once

// The default answer to the scene question of a join: a modal message box
// that asks the user whether to load the session's scene. The library's only
// use of Qt Widgets, kept in this one place.
class koSessionSceneQuestionBox
{
public:
    // True when the user continues. Without a widget application there is
    // nobody to ask: declines, and logs that it did.
    static bool ask();
};
