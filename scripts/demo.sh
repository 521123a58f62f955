#!/bin/bash
echo "demo: not yet"
