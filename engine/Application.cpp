#include "Application.h"

#include "WorkerThread.h"

Application::Application() = default;
Application::~Application() = default;

void Application::PostStatus(StatusCode code)
{
    status.store(code);
    statusEvent.Set();
}
