#pragma once

// Misuse of the store: thrown as a pointer to a new instance, after CrashAssert.
class TypeNotFoundException
{
};

class TypeAlreadyExistsException
{
};

class NullTypeException
{
};

class NotRelatedException
{
};

class AlreadyRelatedException
{
};
