// A stand-in for MainPresenter's code, linked into the window tests in place of the real one
// (which ends processes and walks the disk): every member function only records its name.
#pragma once

#include <QStringList>

// Names of the MainPresenter member functions called so far, in call order; tests clear it.
QStringList& PresenterCalls();
