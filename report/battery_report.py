#!/usr/bin/python3
