// UpdateActions: what the update window asks of whoever runs the update. The window knows only
// this interface; the presenter implements it, and the window tests pass a recording fake.
#pragma once

class UpdateActions {
public:
    // Ends the assistant application and starts the walk over the install root.
    virtual void BeginInstall() = 0;
    // The user has acted: closing the window must no longer count as declining the update.
    virtual void DisconnectView() = 0;
    // Starts the assistant application again and closes the window.
    virtual void RestartApp() = 0;
    // The result was clicked: after a failure fetch the manifest again, else restart.
    virtual void OnResult() = 0;

protected:
    ~UpdateActions() = default;
};

// The actions of a window that has not been given any: each call does nothing.
class NoUpdateActions : public UpdateActions {
public:
    void BeginInstall() override {}
    void DisconnectView() override {}
    void RestartApp() override {}
    void OnResult() override {}
};
